// The peer side of the link tests, and the test binary's main that runs it for "--link-peer".
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>

#include "linktestsupport.h"

namespace mqttlinktest {

using namespace std::chrono_literals;

std::unique_ptr<testsupport::ChildProcess> spawnPeer(const host::link::MqttLinkOptions& options) {
    return std::make_unique<testsupport::ChildProcess>(
        "/proc/self/exe",
        std::vector<std::string>{"--link-peer", std::to_string(options.brokerPort), options.prefix,
                                 options.username, options.password, options.nodeId,
                                 std::to_string(options.heartbeat.count())});
}

long long field(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        if (word.compare(0, key.size() + 1, key + "=") == 0) {
            return std::stoll(word.substr(key.size() + 1));
        }
    }
    return -1;
}

// Runs one machine until "quit" or the end of stdin.
void runPeer(const host::link::MqttLinkOptions& options) {
    std::mutex outMutex;
    const auto say = [&outMutex](const std::string& line) {
        std::lock_guard<std::mutex> lock(outMutex);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    host::link::MqttLinkMgr link(options);  // gone before what its handlers use
    link.serverNodeInfoChanged.connect([&](const vantor::link::ServerNodeInfo& info) {
        say("node " + info.nodeId + (info.disconnected ? " lost" : " present"));
    });
    link.serverTypeChanged.connect(
        [&](const vantor::link::ServerType& type) { say("type " + std::to_string(type)); });
    link.resyncRequested.connect([&] { say("resync"); });
    for (std::string line; std::getline(std::cin, line) && line != "quit";) {
        std::istringstream words(line);
        std::string command;
        std::string key;
        std::string payload;
        words >> command >> key >> payload;
        if (command == "sub") {
            link.subscribe(key, [&say, key](std::string payload, std::string) {
                say("msg " + key + " " + payload);
            });
            say("ok sub");
        } else if (command == "pub") {
            vantor::link::LinkMessage message{key, payload, true, {}, 0};
            link.publish(message);
            say("ok pub");
        } else if (command == "counters") {
            link.drain();
            const auto c = link.counters();
            std::ostringstream text;
            text << "counters connected=" << c.connected << " refused=" << c.refused
                 << " connects=" << c.connects << " received=" << c.received
                 << " duplicates=" << c.duplicates << " stale=" << c.stale;
            say(text.str());
        } else if (command == "wait-connected") {
            say(link.waitConnected(10s) ? "connected" : "not-connected");
        }
    }
}

}  // namespace mqttlinktest

int main(int argc, char** argv) {
    if (argc == 8 && std::strcmp(argv[1], "--link-peer") == 0) {
        host::link::MqttLinkOptions options;
        options.brokerPort = static_cast<std::uint16_t>(std::stoi(argv[2]));
        options.prefix = argv[3];
        options.username = argv[4];
        options.password = argv[5];
        options.nodeId = argv[6];
        options.heartbeat = std::chrono::milliseconds(std::stoll(argv[7]));
        mqttlinktest::runPeer(options);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
