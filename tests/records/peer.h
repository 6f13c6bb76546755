// Runs the independent msgpack peer (Debian's python3-msgpack) and exchanges hex vectors with it.
#pragma once

#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

namespace recordstest {

inline std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::string toHex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

// Runs `command`, returns its standard output and stores its exit status.
inline std::string run(const std::string& command, int& status) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, got);
    }
    status = ::pclose(pipe);
    return output;
}

inline std::map<std::string, std::string> emittedVectors() {
    int status = 0;
    const std::string output =
        run(std::string(SYSTEM_PYTHON) + " " + MSGPACK_PEER_SCRIPT + " emit", status);
    if (status != 0) {
        throw std::runtime_error("msgpack peer failed: " + output);
    }
    std::map<std::string, std::string> vectors;
    std::istringstream lines(output);
    std::string name, hex;
    while (lines >> name >> hex) {
        vectors[name] = fromHex(hex);
    }
    return vectors;
}

}  // namespace recordstest
