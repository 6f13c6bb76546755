// The lines that the demo's source and viewer processes print on stdout for the demo to read:
// "KIND key=value key=value ...", one record per line. Plain functions.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace videoecho {

struct DemoRecord {
    std::string kind;  // "ready", "progress", "result", "echo"
    std::map<std::string, std::string> fields;

    double number(const std::string& key, double fallback = 0) const;
    std::string text(const std::string& key) const;
};

// False for lines that are not records (e.g. stray output).
bool parseDemoRecord(const std::string& line, DemoRecord& out);
// Prints one record to stdout and flushes.
void emitDemoRecord(const std::string& kind, const std::map<std::string, std::string>& fields);

// The echo key of the demo's media (decimal id, then decimal editing mode), as the library forms
// it.
std::string demoEchoKey(uint64_t mediaId, int mode);

}  // namespace videoecho
