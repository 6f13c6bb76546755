#include "childprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "cli.h"
#include "monoclock.h"

namespace videoecho {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        throw RunError(fmt::format("cannot start {}: {}", argv.at(0), std::strerror(errno)));
    }
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        throw RunError(fmt::format("cannot start {}: {}", argv.at(0), std::strerror(errno)));
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        // Child: only async-signal-safe calls until exec. The parent's blocked signals are
        // unblocked so that the demo's Ctrl-C and kill reach it normally.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    if (pid_ < 0) {
        closeFd(in_);
        closeFd(out_);
        throw RunError(fmt::format("cannot start {}: {}", argv.at(0), std::strerror(errno)));
    }
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill();
        wait(2000);
        if (running()) {
            ::kill(pid_, SIGKILL);
            wait(-1);
        }
    }
    closeFd(in_);
    closeFd(out_);
}

bool ChildProcess::readLines(std::vector<std::string>& lines) {
    if (out_ < 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n = 0;
    do {
        n = read(out_, buffer, sizeof(buffer));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        closeFd(out_);
        if (!pending_.empty()) {
            lines.push_back(pending_);
            pending_.clear();
        }
        return false;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl = pending_.find('\n'); nl != std::string::npos;
         nl = pending_.find('\n', start)) {
        lines.push_back(pending_.substr(start, nl - start));
        start = nl + 1;
    }
    pending_.erase(0, start);
    return true;
}

bool ChildProcess::sendLine(const std::string& line) {
    if (in_ < 0) {
        return false;
    }
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::closeStdin() {
    closeFd(in_);
}

int ChildProcess::wait(int timeoutMs) {
    const int64_t deadline = monotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    while (!reaped_ && pid_ > 0) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0 && errno != EINTR) {
            reaped_ = true;
            break;
        }
        if (timeoutMs >= 0 && monotonicNs() >= deadline) {
            return -1;
        }
        if (timeoutMs >= 0) {
            usleep(5000);
        }
    }
    return status_;
}

void ChildProcess::kill() {
    if (running()) {
        ::kill(pid_, SIGTERM);
    }
}

}  // namespace videoecho
