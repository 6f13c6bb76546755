// A helper process: this test binary re-executed with "--channel-helper" and a role, driven by
// one command per line on its stdin and answering one line per command on its stdout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace channeltest {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& helperArgs);
    ~ChildProcess();  // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // Sends `command` and returns the answer line, or "" when none came within the time-out.
    std::string ask(const std::string& command, int timeoutMs = 5000);
    void sendOnly(const std::string& command);
    void killNow();
    void signal(int number);
    // Waits for the exit; the exit code, 128 + signal for a killed child, -1 on time-out.
    int wait(int timeoutMs = 5000);

private:
    std::string readLine(int timeoutMs);

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pending_;
};

// Entry of the helper roles; returns the process's exit code.
int runHelper(int argc, char** argv);

// A checksum of a frame's header fields and plane bytes, the same in every process.
uint64_t frameDigest(int width, int height, int format, const int* linesizes,
                     const unsigned char* const* planes);

}  // namespace channeltest
