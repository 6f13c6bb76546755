#include "cli.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace videoecho {

std::string ParsedArgs::value(const std::string& option, const std::string& fallback) const {
    const auto it = values_.find(option);
    return it == values_.end() ? fallback : it->second;
}

std::string helpText(const CommandInfo& info) {
    std::string text = fmt::format("usage: videoecho {}", info.name);
    for (const auto& p : info.positionals) {
        text += " " + p;
    }
    if (!info.options.empty()) {
        text += " [options]";
    }
    text += "\n\n" + info.summary + "\n";
    if (!info.options.empty()) {
        text += "\noptions:\n";
        for (const auto& o : info.options) {
            std::string left = "--" + o.name + (o.valueName.empty() ? "" : " " + o.valueName);
            text += fmt::format("  {:<22} {}\n", left, o.help);
        }
    }
    text += fmt::format("  {:<22} {}\n", "--help", "show this help and exit");
    if (!info.details.empty()) {
        text += "\n" + info.details + "\n";
    }
    return text;
}

bool parseArgs(const CommandInfo& info, int argc, char** argv, ParsedArgs& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(helpText(info).c_str(), stdout);
            return false;
        }
    }
    CLI::App app(info.summary, info.name);
    app.set_help_flag();  // the help above is this tool's own
    app.allow_extras(false);
    // A last positional named "NAME..." takes one or more arguments.
    const bool repeated =
        !info.positionals.empty() && info.positionals.back().size() > 3 &&
        info.positionals.back().compare(info.positionals.back().size() - 3, 3, "...") == 0;
    std::vector<std::string> positionals(info.positionals.size());
    std::vector<std::string> repeatedValues;
    std::vector<CLI::Option*> positionalOptions;
    for (size_t i = 0; i < info.positionals.size(); ++i) {
        const bool last = i + 1 == info.positionals.size();
        if (last && repeated) {
            const std::string name = info.positionals[i].substr(0, info.positionals[i].size() - 3);
            positionalOptions.push_back(app.add_option(name, repeatedValues)->required());
        } else {
            positionalOptions.push_back(
                app.add_option(info.positionals[i], positionals[i])->required());
        }
    }
    // Values are kept as text: every command checks its own numbers, with its own messages.
    std::map<std::string, std::string> values;
    std::map<std::string, CLI::Option*> options;
    for (const auto& o : info.options) {
        CLI::Option* option = nullptr;
        if (o.valueName.empty()) {
            option = app.add_flag("--" + o.name);
        } else {
            option = app.add_option("--" + o.name, values[o.name])->type_name(o.valueName);
        }
        options[o.name] = option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    }
    try {
        app.parse(argc, argv);  // argv[0], the command's name, is skipped
    } catch (const CLI::ExtrasError&) {
        const std::string extra = app.remaining().empty() ? std::string() : app.remaining().front();
        if (extra.size() > 1 && extra[0] == '-') {
            throw UsageError(fmt::format("unknown option '{}'", extra.substr(0, extra.find('='))));
        }
        throw UsageError(fmt::format("unexpected argument '{}'", extra));
    } catch (const CLI::RequiredError& e) {
        for (size_t i = 0; i < positionalOptions.size(); ++i) {
            if (positionalOptions[i]->count() == 0) {
                throw UsageError(fmt::format("missing {}", info.positionals[i]));
            }
        }
        throw UsageError(e.what());
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    if (repeated) {
        positionals.pop_back();
        positionals.insert(positionals.end(), repeatedValues.begin(), repeatedValues.end());
    }
    out.positionals() = positionals;
    for (const auto& [name, option] : options) {
        if (option->count() != 0) {
            out.values()[name] = values[name];
        }
    }
    return true;
}

int64_t parseInteger(const std::string& text, const std::string& what, int64_t min, int64_t max) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
        throw UsageError(
            fmt::format("{} expects a whole number from {} to {}, got '{}'", what, min, max, text));
    }
    return value;
}

double parseNumber(const std::string& text, const std::string& what, double min, double max) {
    char* end = nullptr;
    errno = 0;
    const double value = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || end != text.c_str() + text.size() || !(value >= min) ||
        !(value <= max)) {
        throw UsageError(
            fmt::format("{} expects a number from {} to {}, got '{}'", what, min, max, text));
    }
    return value;
}

void parseSize(const std::string& text, const std::string& what, int minSide, int maxSide,
               int& width, int& height) {
    const auto x = text.find('x');
    if (x == std::string::npos) {
        throw UsageError(
            fmt::format("{} expects WIDTHxHEIGHT, e.g. 640x360, got '{}'", what, text));
    }
    width = static_cast<int>(parseInteger(text.substr(0, x), what + " width", minSide, maxSide));
    height = static_cast<int>(parseInteger(text.substr(x + 1), what + " height", minSide, maxSide));
}

std::string printableKey(const std::string& key) {
    std::string out;
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            out += fmt::format("\\x{:02x}", byte);
        } else {
            out += c;
        }
    }
    return out;
}

void checkChannelName(const std::string& key) {
    if (key.empty() || key.size() > 200) {
        throw UsageError("a channel name must have 1 to 200 characters");
    }
    for (const char c : key) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x21 || c == 0x7f) {
            // Escaped, so that the message stays one line whatever the name holds.
            throw UsageError(
                fmt::format("channel name '{}' may not contain '/', blanks or control characters",
                            printableKey(key)));
        }
    }
    const std::string reserved = ".guard";
    if (key.size() >= reserved.size() &&
        key.compare(key.size() - reserved.size(), reserved.size(), reserved) == 0) {
        throw UsageError(
            fmt::format("channel names ending in '{}' are reserved for the guards "
                        "of channels",
                        reserved));
    }
}

}  // namespace videoecho
