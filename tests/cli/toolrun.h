// Runs the built videoecho program as a child process for the CLI tests: to completion with its
// output captured, or in the background until stopped. Every run is bounded in time.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <string>
#include <vector>

namespace clitest {

struct ToolResult {
    int exitCode = -1;  // 128 + signal when killed; -1 when it did not finish in time
    std::string out;
    std::string err;
};

// Runs `videoecho args...` and waits up to `timeoutMs` (then kills it).
ToolResult runTool(const std::vector<std::string>& args, int timeoutMs = 20000);

// A videoecho process in the background with stdout and stderr captured to files. Destruction
// interrupts it (SIGINT, then SIGKILL after 5 s) if it still runs and reaps it.
class BackgroundTool {
public:
    explicit BackgroundTool(const std::vector<std::string>& args);
    ~BackgroundTool();
    BackgroundTool(const BackgroundTool&) = delete;
    BackgroundTool& operator=(const BackgroundTool&) = delete;

    void signal(int sig);
    // Waits up to `timeoutMs`; the exit code as in ToolResult.
    int wait(int timeoutMs);
    std::string out() const;

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::string outPath_;
};

// Calls `ready` every 20 ms until it returns true or `timeoutMs` passes.
template <typename F>
bool eventually(F ready, int timeoutMs);

// How many lines `text` holds (newline characters).
inline size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A channel name unique to this test process.
std::string uniqueKey(const std::string& what);

void sleepMs(int ms);

template <typename F>
bool eventually(F ready, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (ready()) {
            return true;
        }
        sleepMs(20);
    }
    return false;
}

}  // namespace clitest
