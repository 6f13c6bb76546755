// A child process (Boost.Process) with pipes to its stdin and from its stdout, read line by line.
// Destruction kills a child that is still running and reaps it, so no child outlives the object.
// One thread uses an object.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace videoecho {

class ChildProcess {
public:
    // Starts `argv[0]` with `argv`; throws RunError when it cannot.
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The read end of the child's stdout, for poll; -1 once it reached end of file.
    int stdoutFd() const;
    // Reads what is available on its stdout (call when poll says so); complete lines go to
    // `lines`. Returns false at end of file.
    bool readLines(std::vector<std::string>& lines);
    // Writes `line` and a newline to the child's stdin; false when the child no longer reads.
    bool sendLine(const std::string& line);
    // Closing the child's stdin tells it to finish.
    void closeStdin();
    // Waits up to `timeoutMs` for the child to exit; its exit code, or -1 on time-out, or
    // 128 + signal when a signal ended it.
    int wait(int timeoutMs);
    void kill();
    bool running() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string pending_;
};

}  // namespace videoecho
