// The viewer as a child process: this test binary re-executed with the viewer switch, talked to
// through its stdin and stdout. Every wait is bounded; a child still running at destruction is
// killed and reaped.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace echotest {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& args) {
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(toChild[0], STDIN_FILENO);
            ::dup2(fromChild[1], STDOUT_FILENO);
            ::close(toChild[0]);
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::close(fromChild[1]);
            std::vector<char*> argv;
            for (const auto& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            ::execv("/proc/self/exe", argv.data());
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        in_ = toChild[1];
        out_ = fromChild[0];
    }
    ~ChildProcess() {
        if (in_ >= 0) {
            ::close(in_);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0 && in_ >= 0 && out_ >= 0; }

    // One line from the child, or "timeout" / "eof".
    std::string readLine(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return "timeout";
            }
            pollfd pfd{out_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[256];
            const ssize_t n = ::read(out_, chunk, sizeof(chunk));
            if (n <= 0) {
                return "eof";
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    std::string ask(const std::string& command,
                    std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        const std::string line = command + "\n";
        if (::write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return "write failed";
        }
        return readLine(timeout);
    }

    // The exit code, or -1 if the child does not end within the time given.
    int wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    std::string buffer_;
};

}  // namespace echotest
