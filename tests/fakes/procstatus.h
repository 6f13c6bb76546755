// Test helper: what the kernel tells about another process (a server whose memory or CPU a test
// measures). Plain functions; any thread.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <string>

namespace testsupport {

// A "Vm..." line of the process's status in bytes (e.g. "VmHWM", "VmRSS"); 0 if absent.
inline std::size_t statusBytes(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoull(line.substr(field.size() + 1)) * 1024;
        }
    }
    return 0;
}

// CPU time (user + system) the process has used so far.
inline std::chrono::milliseconds cpuTime(pid_t pid) {
    clockid_t clock{};
    timespec used{};
    if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &used) != 0) {
        return {};
    }
    return std::chrono::seconds(used.tv_sec) +
           std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::nanoseconds(used.tv_nsec));
}

}  // namespace testsupport
