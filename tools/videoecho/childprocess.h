// A child process started from this executable (fork + exec), with pipes to its stdin and from
// its stdout, read line by line. Destruction kills a child that is still running and reaps it, so
// no child outlives the object. One thread uses an object.
#pragma once

#include <sys/types.h>
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

    int stdoutFd() const { return out_; }
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
    bool running() const { return pid_ > 0 && !reaped_; }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    std::string pending_;
};

}  // namespace videoecho
