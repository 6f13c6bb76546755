// Test helper: runs a function in a forked child process (a server whose memory or descriptors a
// test measures or limits) and talks to it over a pipe of 64-bit values. The child is killed and
// reaped when the helper goes out of scope. Fork before the test starts threads of its own.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

namespace rpctest {

class ForkedProcess {
public:
    // `body` runs in the child with the write end of the pipe; its return value is the exit code.
    explicit ForkedProcess(const std::function<int(int toParent)>& body) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            ::_exit(body(fds[1]));
        }
        ::close(fds[1]);
        fromChild_ = fds[0];
    }
    ~ForkedProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (fromChild_ >= 0) {
            ::close(fromChild_);
        }
    }
    ForkedProcess(const ForkedProcess&) = delete;
    ForkedProcess& operator=(const ForkedProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next value the child sent, or nullopt after `timeout` or when the child is gone.
    std::optional<std::uint64_t> receive(std::chrono::milliseconds timeout) {
        std::uint64_t value = 0;
        std::size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got < sizeof(value)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{fromChild_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            const ssize_t n =
                ::read(fromChild_, reinterpret_cast<char*>(&value) + got, sizeof(value) - got);
            if (n <= 0) {
                return std::nullopt;
            }
            got += static_cast<std::size_t>(n);
        }
        return value;
    }

    // A "Vm..." line of the child's /proc status in bytes (e.g. "VmHWM", "VmRSS"); 0 if absent.
    std::size_t statusBytes(const std::string& field) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(field + ":", 0) == 0) {
                return std::stoull(line.substr(field.size() + 1)) * 1024;
            }
        }
        return 0;
    }

    // Resets the child's peak resident size to its current one; false if the kernel refuses.
    bool resetPeak() const {
        std::ofstream clear("/proc/" + std::to_string(pid_) + "/clear_refs");
        clear << "5";
        clear.flush();
        return static_cast<bool>(clear);
    }

    // CPU time (user + system) the child has used so far.
    std::chrono::milliseconds cpuTime() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
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

private:
    pid_t pid_ = -1;
    int fromChild_ = -1;
};

inline void sendToParent(int fd, std::uint64_t value) {
    [[maybe_unused]] const ssize_t n = ::write(fd, &value, sizeof(value));
}

}  // namespace rpctest
