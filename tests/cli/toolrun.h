// The built videoecho program run for the CLI tests through the shared child-process harness: to
// completion with its output captured, or in the background until stopped. Every run is bounded.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "childprocess.h"

namespace clitest {

using ToolResult = testsupport::ChildProcess::Result;

// Runs `videoecho args...` and waits up to `timeoutMs` (then kills it).
inline ToolResult runTool(const std::vector<std::string>& args, int timeoutMs = 20000) {
    return testsupport::runProgram(VIDEOECHO_PROGRAM, args, std::chrono::milliseconds(timeoutMs));
}

// A videoecho process in the background. Destruction interrupts it as a user would (SIGINT), so
// that it cleans up, and kills it only if it does not end within 5 s.
class BackgroundTool {
public:
    explicit BackgroundTool(const std::vector<std::string>& args)
        : child_(VIDEOECHO_PROGRAM, args) {}
    ~BackgroundTool() {
        if (exitCode_ < 0) {
            child_.signal(SIGINT);
            child_.wait(std::chrono::seconds(5));
        }
    }
    BackgroundTool(const BackgroundTool&) = delete;
    BackgroundTool& operator=(const BackgroundTool&) = delete;

    void signal(int number) { child_.signal(number); }
    int wait(int timeoutMs) {
        return exitCode_ = child_.wait(std::chrono::milliseconds(timeoutMs));
    }
    // Its standard output so far.
    std::string out() {
        std::string text;
        for (const std::string& line : child_.linesStartingWith("")) {
            text += line + "\n";
        }
        return text;
    }

private:
    testsupport::ChildProcess child_;
    int exitCode_ = -1;
};

// Calls `ready` every 20 ms until it returns true or `timeoutMs` passes.
template <typename F>
bool eventually(F ready, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

inline size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A channel name unique to this test process.
inline std::string uniqueKey(const std::string& what) {
    return "videoecho-cli-" + std::to_string(::getpid()) + "-" + what;
}

inline void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace clitest
