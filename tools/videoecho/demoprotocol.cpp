#include "demoprotocol.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace videoecho {

double DemoRecord::number(const std::string& key, double fallback) const {
    const auto it = fields.find(key);
    if (it == fields.end()) {
        return fallback;
    }
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    return end != it->second.c_str() ? value : fallback;
}

std::string DemoRecord::text(const std::string& key) const {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

bool parseDemoRecord(const std::string& line, DemoRecord& out) {
    std::istringstream in(line);
    std::string word;
    if (!(in >> out.kind) || out.kind.empty()) {
        return false;
    }
    out.fields.clear();
    while (in >> word) {
        const auto eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            return false;
        }
        out.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return true;
}

void emitDemoRecord(const std::string& kind, const std::map<std::string, std::string>& fields) {
    std::string line = kind;
    for (const auto& [k, v] : fields) {
        line += " " + k + "=" + v;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string demoEchoKey(uint64_t mediaId, int mode) {
    return std::to_string(mediaId) + std::to_string(mode);
}

}  // namespace videoecho
