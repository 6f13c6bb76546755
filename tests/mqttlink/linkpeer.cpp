#include "linkpeer.h"

#include <cstdio>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>

#include <host/link/mqttlinkmgr.h>

namespace mqttlinktest {

using namespace std::chrono_literals;

// --- the parent's side ---

std::unique_ptr<testsupport::ChildProcess> spawnPeer(const host::link::MqttLinkOptions& options) {
    return std::make_unique<testsupport::ChildProcess>(
        "/proc/self/exe",
        std::vector<std::string>{"--link-peer", std::to_string(options.brokerPort), options.prefix,
                                 options.username, options.password, options.nodeId,
                                 std::to_string(options.heartbeat.count())});
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
