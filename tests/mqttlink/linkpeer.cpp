#include "linkpeer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <host/link/mqttlinkmgr.h>

extern char** environ;

namespace mqttlinktest {

using namespace std::chrono_literals;

// --- the parent's side ---

PeerProcess::PeerProcess(const PeerConfig& config) {
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
    std::vector<std::string> args = {"/proc/self/exe",
                                     "--link-peer",
                                     std::to_string(config.port),
                                     config.prefix,
                                     config.user,
                                     config.password,
                                     config.nodeId,
                                     std::to_string(config.heartbeatMs)};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int rc = ::posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(in[1]);
        ::close(out[0]);
        return;
    }
    toPeer_ = in[1];
    fromPeer_ = out[0];
}

PeerProcess::~PeerProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    if (toPeer_ >= 0) {
        ::close(toPeer_);
    }
    if (fromPeer_ >= 0) {
        ::close(fromPeer_);
    }
}

void PeerProcess::send(const std::string& command) {
    const std::string line = command + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::write(toPeer_, line.data() + sent, line.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

bool PeerProcess::readMore(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || fromPeer_ < 0) {
        return false;
    }
    pollfd poller{fromPeer_, POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(left)) <= 0) {
        return true;
    }
    char buffer[4096];
    const ssize_t n = ::read(fromPeer_, buffer, sizeof buffer);
    if (n <= 0) {
        return false;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    for (auto newline = pending_.find('\n'); newline != std::string::npos;
         newline = pending_.find('\n')) {
        history_.push_back(pending_.substr(0, newline));
        pending_.erase(0, newline + 1);
    }
    return true;
}

std::string PeerProcess::waitFor(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t scanned = taken_;
    for (;;) {
        for (; scanned < history_.size(); ++scanned) {
            if (history_[scanned].compare(0, prefix.size(), prefix) == 0) {
                taken_ = scanned + 1;
                return history_[scanned];
            }
        }
        if (!readMore(deadline)) {
            return "";
        }
    }
}

std::string PeerProcess::ask(const std::string& command, const std::string& answer,
                             std::chrono::milliseconds timeout) {
    send(command);
    return waitFor(answer, timeout);
}

std::vector<std::string> PeerProcess::linesStartingWith(const std::string& prefix) {
    while (readMore(std::chrono::steady_clock::now() + 1ms)) {
        if (fromPeer_ < 0) {
            break;
        }
        pollfd poller{fromPeer_, POLLIN, 0};
        if (::poll(&poller, 1, 0) <= 0) {
            break;
        }
    }
    std::vector<std::string> lines;
    for (const auto& line : history_) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

void PeerProcess::signal(int number) {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

int PeerProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        ::usleep(5000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

long long field(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        if (word.compare(0, key.size() + 1, key + "=") == 0) {
            return std::stoll(word.substr(key.size() + 1));
        }
    }
    return -1;
}

// --- the peer's side ---

namespace {

class Peer {
public:
    explicit Peer(host::link::MqttLinkOptions options) : link_(std::move(options)) {
        link_.serverNodeInfoChanged.connect([this](const vantor::link::ServerNodeInfo& info) {
            say("node " + info.nodeId + (info.disconnected ? " lost" : " present"));
        });
        link_.serverTypeChanged.connect(
            [this](const vantor::link::ServerType& type) { say("type " + std::to_string(type)); });
        link_.resyncRequested.connect([this] { resync(); });
    }

    int run() {
        std::string line;
        while (std::getline(std::cin, line)) {
            std::istringstream words(line);
            std::string command;
            words >> command;
            if (command == "quit") {
                break;
            }
            handle(command, words);
        }
        return 0;
    }

private:
    void handle(const std::string& command, std::istringstream& words) {
        if (command == "sub") {
            std::string key;
            words >> key;
            link_.subscribe(key, [this, key](std::string payload, std::string) {
                say("msg " + key + " " + payload);
            });
            say("ok sub");
        } else if (command == "records") {
            link_.subscribe("rec", [this](std::string payload, std::string) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++calls_;
                ids_.insert(std::stoll(payload));
            });
            link_.subscribe("list", [this](std::string payload, std::string) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++calls_;
                std::istringstream items(payload);
                std::string item;
                while (std::getline(items, item, ',')) {
                    if (ids_.insert(std::stoll(item)).second) {
                        ++repaired_;
                    }
                }
            });
            say("ok records");
        } else if (command == "pub") {
            vantor::link::LinkMessage message;
            std::string targets;
            words >> message.key >> message.payload >> targets;
            std::istringstream names(targets);
            for (std::string name; std::getline(names, name, ',');) {
                message.targets.push_back(name);
            }
            link_.publish(message);
            say("ok pub");
        } else if (command == "count") {
            std::lock_guard<std::mutex> lock(mutex_);
            say("count unique=" + std::to_string(ids_.size()) + " calls=" + std::to_string(calls_) +
                " repaired=" + std::to_string(repaired_));
        } else if (command == "counters") {
            link_.drain();
            const auto c = link_.counters();
            std::ostringstream text;
            text << "counters connected=" << c.connected << " refused=" << c.refused
                 << " connects=" << c.connects << " published=" << c.published
                 << " queued=" << c.queued << " received=" << c.received
                 << " duplicates=" << c.duplicates << " stale=" << c.stale
                 << " malformed=" << c.malformed << " handlerErrors=" << c.handlerErrors;
            say(text.str());
        } else if (command == "wait-connected") {
            say(link_.waitConnected(10s) ? "connected" : "not-connected");
        } else {
            say("unknown " + command);
        }
    }

    void resync() { say("resync"); }

    void say(const std::string& line) {
        std::lock_guard<std::mutex> lock(outMutex_);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    std::mutex outMutex_;
    std::mutex mutex_;
    std::set<long long> ids_;       // guarded by mutex_
    long long calls_ = 0;           // guarded by mutex_
    long long repaired_ = 0;        // guarded by mutex_: ids first seen in a complete list
    host::link::MqttLinkMgr link_;  // last: gone before the state its handlers use
};

}  // namespace

int runPeer(int argc, char** argv) {
    if (argc < 6) {
        return 2;
    }
    host::link::MqttLinkOptions options;
    options.brokerPort = static_cast<std::uint16_t>(std::stoi(argv[0]));
    options.prefix = argv[1];
    options.username = argv[2];
    options.password = argv[3];
    options.nodeId = argv[4];
    options.heartbeat = std::chrono::milliseconds(std::stoi(argv[5]));
    Peer peer(options);
    return peer.run();
}

}  // namespace mqttlinktest
