#include "cli.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

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
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            std::string value;
            bool inlineValue = false;
            if (const auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inlineValue = true;
            }
            const OptionInfo* option = nullptr;
            for (const auto& o : info.options) {
                if (o.name == name) {
                    option = &o;
                }
            }
            if (option == nullptr) {
                throw UsageError(fmt::format("unknown option '--{}'", name));
            }
            if (out.values().count(name) != 0) {
                throw UsageError(fmt::format("option '--{}' given twice", name));
            }
            if (option->valueName.empty()) {
                if (inlineValue) {
                    throw UsageError(fmt::format("option '--{}' takes no value", name));
                }
            } else if (!inlineValue) {
                if (i + 1 >= argc) {
                    throw UsageError(
                        fmt::format("option '--{}' needs a value {}", name, option->valueName));
                }
                value = argv[++i];
            }
            out.values()[name] = value;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            throw UsageError(fmt::format("unknown option '{}'", arg));
        } else {
            out.positionals().push_back(arg);
        }
    }
    if (out.positionals().size() < info.positionals.size()) {
        throw UsageError(fmt::format("missing {}", info.positionals[out.positionals().size()]));
    }
    // A last positional named "NAME..." takes any number of arguments.
    const bool repeated =
        !info.positionals.empty() && info.positionals.back().size() > 3 &&
        info.positionals.back().compare(info.positionals.back().size() - 3, 3, "...") == 0;
    if (out.positionals().size() > info.positionals.size() && !repeated) {
        throw UsageError(
            fmt::format("unexpected argument '{}'", out.positionals()[info.positionals.size()]));
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

void checkChannelName(const std::string& key) {
    if (key.empty() || key.size() > 200) {
        throw UsageError("a channel name must have 1 to 200 characters");
    }
    for (const char c : key) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x21 || c == 0x7f) {
            throw UsageError(fmt::format(
                "channel name '{}' may not contain '/', blanks or control characters", key));
        }
    }
}

}  // namespace videoecho
