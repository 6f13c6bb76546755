#include "childprocess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace channeltest {

ChildProcess::ChildProcess(const std::vector<std::string>& helperArgs) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    std::vector<std::string> args = {"/proc/self/exe", "--channel-helper"};
    args.insert(args.end(), helperArgs.begin(), helperArgs.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    pid_ = pid;
    toChild_ = in[1];
    fromChild_ = out[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        killNow();
        wait();
    }
    if (toChild_ >= 0) {
        ::close(toChild_);
    }
    if (fromChild_ >= 0) {
        ::close(fromChild_);
    }
}

void ChildProcess::sendOnly(const std::string& command) {
    const std::string line = command + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::write(toChild_, line.data() + sent, line.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

std::string ChildProcess::ask(const std::string& command, int timeoutMs) {
    sendOnly(command);
    return readLine(timeoutMs);
}

std::string ChildProcess::readLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return "";
        }
        pollfd poller{fromChild_, POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = ::read(fromChild_, buffer, sizeof buffer);
        if (n <= 0) {
            return "";
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

void ChildProcess::killNow() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
    }
}

void ChildProcess::signal(int number) {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

int ChildProcess::wait(int timeoutMs) {
    if (pid_ <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            if (WIFSIGNALED(status)) {
                return 128 + WTERMSIG(status);
            }
            return WEXITSTATUS(status);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

uint64_t frameDigest(int width, int height, int format, const int* linesizes,
                     const unsigned char* const* planes) {
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](uint64_t value) {
        hash ^= value;
        hash *= 1099511628211ull;
    };
    mix(static_cast<uint32_t>(width));
    mix(static_cast<uint32_t>(height));
    mix(static_cast<uint32_t>(format));
    for (int i = 0; i < 8; ++i) {
        mix(static_cast<uint32_t>(linesizes[i]));
        if (linesizes[i] > 0 && height > 0 && planes[i] != nullptr) {
            const size_t size = static_cast<size_t>(linesizes[i]) * static_cast<size_t>(height);
            for (size_t b = 0; b < size; ++b) {
                mix(planes[i][b]);
            }
        }
    }
    return hash;
}

}  // namespace channeltest
