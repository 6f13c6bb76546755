#include "childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>

#include <boost/process.hpp>
#include <boost/process/posix.hpp>

namespace testsupport {
namespace {

namespace bp = boost::process;
using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// The child's stdin, stdout and stderr pipes ([0] reads, [1] writes); the ends still held here are
// closed at the end. Every end closes on exec, so a child started later does not hold another
// child's pipe open; the ends a child uses are duplicated onto 0, 1 and 2, which clears the flag.
struct Pipes {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    bool ok =
        ::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0;

    ~Pipes() {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]}) {
            closeFd(*fd);
        }
    }
    // Closes the child's ends and hands the parent's over.
    void handOver(int& toChild, int& fromChild, int& fromChildErr) {
        closeFd(in[0]);
        closeFd(out[1]);
        closeFd(err[1]);
        toChild = std::exchange(in[1], -1);
        fromChild = std::exchange(out[0], -1);
        fromChildErr = std::exchange(err[0], -1);
    }
};

int leftMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Environment& environment) {
    Pipes pipes;
    if (!pipes.ok) {
        return;
    }
    bp::environment env = boost::this_process::environment();
    for (const auto& [name, value] : environment) {
        env[name] = value;
    }
    const auto exe = program.find('/') == std::string::npos ? bp::search_path(program)
                                                            : boost::filesystem::path(program);
    std::error_code error;
    bp::child child(exe, bp::args(args), env, bp::posix::fd.bind(STDIN_FILENO, pipes.in[0]),
                    bp::posix::fd.bind(STDOUT_FILENO, pipes.out[1]),
                    bp::posix::fd.bind(STDERR_FILENO, pipes.err[1]), error);
    if (error || !child.valid()) {
        return;
    }
    pid_ = child.id();
    child.detach();  // waited for and killed here, not by Boost
    pipes.handOver(in_, out_, err_);
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
    Pipes pipes;
    if (!pipes.ok) {
        return;
    }
    std::fflush(nullptr);  // what the parent buffered is not written twice
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipes.in[0], STDIN_FILENO);
        ::dup2(pipes.out[1], STDOUT_FILENO);
        ::dup2(pipes.err[1], STDERR_FILENO);
        for (int fd :
             {pipes.in[0], pipes.in[1], pipes.out[0], pipes.out[1], pipes.err[0], pipes.err[1]}) {
            ::close(fd);  // or the child's stdin would never end
        }
        std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line reaches the test as it is written
        int code = 125;
        try {
            code = body();
        } catch (...) {
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    if (pid_ > 0) {
        pipes.handOver(in_, out_, err_);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeFd(in_);
    closeFd(out_);
    closeFd(err_);
}

bool ChildProcess::write(const std::string& text) {
    // A child that is gone makes the write fail with EPIPE instead of killing the test: SIGPIPE
    // is blocked on this thread meanwhile, and one it raised is taken before it is unblocked.
    sigset_t pipe;
    sigset_t previous;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    size_t sent = 0;
    while (in_ >= 0 && sent < text.size()) {
        const ssize_t n = ::write(in_, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return sent == text.size();
}

void ChildProcess::closeInput() {
    closeFd(in_);
}

bool ChildProcess::readMore(Clock::time_point deadline) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};  // poll skips a closed (-1) one
    if (out_ < 0 && err_ < 0) {
        return false;
    }
    const int ready = ::poll(fds, 2, leftMs(deadline));
    if (ready < 0 && errno == EINTR) {
        return true;
    }
    if (ready <= 0) {
        return false;
    }
    char buffer[4096];
    if (fds[1].revents != 0) {
        const ssize_t n = ::read(err_, buffer, sizeof buffer);
        if (n > 0) {
            errText_.append(buffer, static_cast<size_t>(n));
        } else {
            closeFd(err_);
        }
    }
    if (fds[0].revents != 0) {
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            closeFd(out_);
            return err_ >= 0;
        }
        pendingOut_.append(buffer, static_cast<size_t>(n));
        for (auto newline = pendingOut_.find('\n'); newline != std::string::npos;
             newline = pendingOut_.find('\n')) {
            lines_.push_back(pendingOut_.substr(0, newline));
            pendingOut_.erase(0, newline + 1);
        }
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (taken_ == lines_.size()) {
        if (out_ < 0 || !readMore(deadline)) {
            return std::nullopt;
        }
    }
    return lines_[taken_++];
}

std::string ChildProcess::waitFor(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    size_t scanned = taken_;
    for (;;) {
        for (; scanned < lines_.size(); ++scanned) {
            if (lines_[scanned].compare(0, prefix.size(), prefix) == 0) {
                taken_ = scanned + 1;
                return lines_[scanned];
            }
        }
        if (out_ < 0 || !readMore(deadline)) {
            return "";
        }
    }
}

std::string ChildProcess::ask(const std::string& command, const std::string& answer,
                              std::chrono::milliseconds timeout) {
    send(command);
    return waitFor(answer, timeout);
}

std::vector<std::string> ChildProcess::linesStartingWith(const std::string& prefix) {
    while (readMore(Clock::now())) {
    }
    std::vector<std::string> found;
    for (const auto& line : lines_) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

void ChildProcess::signal(int number) {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, number);
    }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ > 0 && !reaped_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (done < 0 && errno != EINTR) {
            return -1;
        } else if (Clock::now() >= deadline) {
            return -1;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return exitCode_;
}

ChildProcess::Result ChildProcess::finish(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    closeInput();
    while (readMore(deadline)) {
    }
    Result result;
    result.exitCode = wait(std::chrono::milliseconds(leftMs(deadline)));
    if (result.exitCode < 0) {
        signal(SIGKILL);
        wait(std::chrono::seconds(10));
    }
    while (readMore(Clock::now())) {
    }
    for (; taken_ < lines_.size(); ++taken_) {
        result.out += lines_[taken_] + "\n";
    }
    result.out += pendingOut_;
    result.err = errText_;
    return result;
}

ChildProcess::Result runProgram(const std::string& program, const std::vector<std::string>& args,
                                std::chrono::milliseconds timeout,
                                const ChildProcess::Environment& environment) {
    ChildProcess child(program, args, environment);
    return child.finish(timeout);
}

}  // namespace testsupport
