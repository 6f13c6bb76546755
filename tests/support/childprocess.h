// A child process for tests: a program started with Boost.Process, or a function run in a forked
// copy of the test. The test that creates it owns it; one thread at a time may call it. A child
// still running when the object goes is killed and reaped; every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    // Variables set in the child on top of the test's own environment.
    using Environment = std::vector<std::pair<std::string, std::string>>;
    struct Result {
        int exitCode = -1;  // 128 + signal for a killed child; -1 when it had to be killed
        std::string out;    // stdout not yet taken by readLine/waitFor
        std::string err;
    };

    // Starts `program` (a path, or a name looked up in PATH; "/proc/self/exe" is this test)
    // with `args`, its stdin, stdout and stderr connected to this object.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const Environment& environment = {});
    // Runs `body` in a forked child (for a child that switches uid, unshares a namespace or runs
    // library code on its own); its return value is the exit code, what it writes to stdout and
    // stderr comes here. It holds copies of the test's other descriptors. Fork before the test
    // starts threads that the body needs.
    explicit ChildProcess(const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Writes `bytes` to the child's stdin; false when the child no longer reads.
    bool write(const std::string& bytes);
    bool send(const std::string& line) { return write(line + "\n"); }
    void closeInput();
    // The next stdout line, or nothing on time-out or end of output.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // The first line not yet taken that starts with `prefix`, taking it and every line before it;
    // "" when none came in time.
    std::string waitFor(const std::string& prefix,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends `command` and waits for the answer line starting with `answer`.
    std::string ask(const std::string& command, const std::string& answer,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Every stdout line read so far (taken or not) that starts with `prefix`, after reading
    // whatever is ready now.
    std::vector<std::string> linesStartingWith(const std::string& prefix);

    void signal(int number);
    // The exit code (128 + signal for a killed child), or -1 if it does not end in time.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Closes stdin, reads the output to its end and waits; kills the child at `timeout`.
    Result finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    // Reads what is ready within the deadline; false at end of stdout or when time is up.
    bool readMore(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pendingOut_;
    std::string errText_;
    std::vector<std::string> lines_;
    size_t taken_ = 0;  // lines_ already handed out
};

// Runs `program args...` to its end with its output captured; killed after `timeout`.
ChildProcess::Result runProgram(const std::string& program, const std::vector<std::string>& args,
                                std::chrono::milliseconds timeout = std::chrono::seconds(20),
                                const ChildProcess::Environment& environment = {});

}  // namespace testsupport
