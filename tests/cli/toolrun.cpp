#include "toolrun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace clitest {

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& args, std::string& program) {
    program = VIDEOECHO_PROGRAM;
    std::vector<char*> argv = {program.data()};
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

int decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string uniqueKey(const std::string& what) {
    return "videoecho-cli-" + std::to_string(getpid()) + "-" + what;
}

ToolResult runTool(const std::vector<std::string>& args, int timeoutMs) {
    ToolResult result;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return result;
    }
    std::string program;
    auto argv = argvOf(args, program);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool timedOut = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[4096];
                const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                } else {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                }
            }
        }
    }
    if (timedOut) {
        kill(pid, SIGKILL);
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = timedOut ? -1 : decode(status);
    return result;
}

BackgroundTool::BackgroundTool(const std::vector<std::string>& args) {
    char path[] = "/tmp/videoecho-cli-out.XXXXXX";
    const int fd = mkstemp(path);
    outPath_ = path;
    std::string program;
    auto argv = argvOf(args, program);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fd);
}

BackgroundTool::~BackgroundTool() {
    // Interrupted first, so that a sender lets go of its channel as a user's Ctrl-C would.
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGINT);
        if (wait(5000) < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    unlink(outPath_.c_str());
}

void BackgroundTool::signal(int sig) {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, sig);
    }
}

int BackgroundTool::wait(int timeoutMs) {
    eventually(
        [&] {
            int status = 0;
            if (!reaped_ && waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = decode(status);
            }
            return reaped_;
        },
        timeoutMs);
    return reaped_ ? status_ : -1;
}

std::string BackgroundTool::out() const {
    std::ifstream in(outPath_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace clitest
