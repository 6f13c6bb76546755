// A helper process of the cross-process channel tests: this test binary re-executed with
// "--channel-helper" and a role (channelhelper.cpp), driven by one command per line on its stdin
// and answering one line per command, through the shared child-process harness.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "childprocess.h"

namespace channeltest {

class HelperProcess : public testsupport::ChildProcess {
public:
    explicit HelperProcess(const std::vector<std::string>& roleArgs)
        : ChildProcess("/proc/self/exe", withSwitch(roleArgs)) {}

    // Sends `command` and returns the answer line, or "" when none came within the time-out.
    std::string ask(const std::string& command, int timeoutMs = 5000) {
        send(command);
        return readLine(std::chrono::milliseconds(timeoutMs)).value_or("");
    }
    void sendOnly(const std::string& command) { send(command); }
    void killNow() { signal(SIGKILL); }
    int wait(int timeoutMs = 5000) {
        return ChildProcess::wait(std::chrono::milliseconds(timeoutMs));
    }

private:
    static std::vector<std::string> withSwitch(std::vector<std::string> args) {
        args.insert(args.begin(), "--channel-helper");
        return args;
    }
};

// Entry of the helper roles; returns the process's exit code.
int runHelper(int argc, char** argv);

// A checksum of a frame's header fields and plane bytes, the same in every process.
uint64_t frameDigest(int width, int height, int format, const int* linesizes,
                     const unsigned char* const* planes);

}  // namespace channeltest
