// Command-line parsing for videoecho: each subcommand declares its positionals and options, and
// gets back the parsed values or a UsageError whose text is the one-line message to print.
// Plain values; no shared state.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace videoecho {

// Bad command line: printed as one line, exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The command line was fine but the work could not be done (missing channel, unwritable file):
// printed as one line, exit code 1.
class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionInfo {
    std::string name;       // without the leading "--"
    std::string valueName;  // empty: a flag without value
    std::string help;
};

struct CommandInfo {
    std::string name;
    std::string summary;
    std::vector<std::string> positionals;  // required, in order
    std::vector<OptionInfo> options;
    std::string details;  // extra paragraph for --help
};

class ParsedArgs {
public:
    const std::string& positional(size_t index) const { return positionals_.at(index); }
    size_t positionalCount() const { return positionals_.size(); }
    bool has(const std::string& option) const { return values_.count(option) != 0; }
    // The option's value, or `fallback` when it was not given.
    std::string value(const std::string& option, const std::string& fallback = {}) const;

    std::vector<std::string>& positionals() { return positionals_; }
    std::map<std::string, std::string>& values() { return values_; }

private:
    std::vector<std::string> positionals_;
    std::map<std::string, std::string> values_;
};

// argv[0] is the subcommand's name. Returns false when --help was asked for (the help text has
// been printed to stdout); throws UsageError for anything it cannot accept.
bool parseArgs(const CommandInfo& info, int argc, char** argv, ParsedArgs& out);
std::string helpText(const CommandInfo& info);

// Strict number parsing for option values; `what` names the option in the error.
int64_t parseInteger(const std::string& text, const std::string& what, int64_t min, int64_t max);
double parseNumber(const std::string& text, const std::string& what, double min, double max);
// "WxH" with both sides whole numbers in [minSide, maxSide].
void parseSize(const std::string& text, const std::string& what, int minSide, int maxSide,
               int& width, int& height);

// A channel name as the segment layer accepts it: not empty, no '/', printable, short, and not
// ending in the suffix reserved for the guards of channels.
void checkChannelName(const std::string& key);

// `key` with control characters and backslashes escaped (\xNN), fit for a one-line message.
std::string printableKey(const std::string& key);

}  // namespace videoecho
