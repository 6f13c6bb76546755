// Test helper: what /proc tells about another process (a server whose memory or CPU a test
// measures). Plain functions; any thread.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace testsupport {

// A "Vm..." line of the process's status in bytes (e.g. "VmHWM", "VmRSS"); 0 if absent.
inline std::size_t statusBytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1)) * 1024;
        }
    }
    return 0;
}

// Resets the process's peak resident size to its current one; false if the kernel refuses.
inline bool resetPeak(pid_t pid) {
    std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// CPU time (user + system) the process has used so far.
inline std::chrono::milliseconds cpuTime(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return {};
    }
    // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int index = 3; index <= 15 && rest >> field; ++index) {
        if (index >= 14) {
            ticks += std::stoull(field);
        }
    }
    return std::chrono::milliseconds(ticks * 1000 /
                                     static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK)));
}

}  // namespace testsupport
