// What the link tests share: a private broker with two installations, options for managers of
// this process, and peers: this test binary re-executed with "--link-peer" as another machine,
// driven by one command per line on its stdin ("sub KEY", "pub KEY PAYLOAD", "counters",
// "wait-connected", "quit"). A peer writes one answer per command and what happens to it as lines:
// "msg KEY PAYLOAD", "node ID lost|present", "type N", "resync".
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <childprocess.h>
#include <gtest/gtest.h>

#include <host/link/mosquittobroker.h>
#include <host/link/mqttlinkmgr.h>

namespace mqttlinktest {

inline const host::link::BrokerInstallation kInstallationA{"tarntest/a", "usera", "secret-a"};
inline const host::link::BrokerInstallation kInstallationB{"tarntest/b", "userb", "secret-b"};

// A peer process, started and not yet connected.
std::unique_ptr<testsupport::ChildProcess> spawnPeer(const host::link::MqttLinkOptions& options);

// The first line of `peer` that starts with `prefix`, whether an answer already took it or not;
// "" if none comes within ten seconds.
inline std::string seen(testsupport::ChildProcess& peer, const std::string& prefix) {
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (const auto lines = peer.linesStartingWith(prefix); !lines.empty()) {
            return lines.front();
        }
    }
    return "";
}

// "key=value" out of a line of blank-separated fields; -1 when missing.
long long field(const std::string& line, const std::string& key);

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { startBroker(); }

    // Replaces the broker with one whose options `adjust` changed.
    void startBroker(const std::function<void(host::link::MosquittoBrokerOptions&)>& adjust = {}) {
        host::link::MosquittoBrokerOptions options;
        options.installations = {kInstallationA, kInstallationB};
        if (adjust) {
            adjust(options);
        }
        std::string error;
        broker = host::link::MosquittoBroker::start(std::move(options), &error);
        ASSERT_TRUE(broker) << error;
    }

    host::link::MqttLinkOptions linkOptions(
        const std::string& node,
        const host::link::BrokerInstallation& installation = kInstallationA) const {
        host::link::MqttLinkOptions options;
        options.brokerHost = broker->host();
        options.brokerPort = broker->port();
        options.prefix = installation.prefix;
        options.username = installation.user;
        options.password = installation.password;
        options.nodeId = node;
        return options;
    }

    // A peer that is connected and subscribed to `keys`.
    std::unique_ptr<testsupport::ChildProcess> startPeer(
        const host::link::MqttLinkOptions& options, const std::vector<std::string>& keys = {}) {
        auto peer = spawnPeer(options);
        EXPECT_EQ(peer->ask("wait-connected", "connected"), "connected");
        for (const auto& key : keys) {
            EXPECT_EQ(peer->ask("sub " + key, "ok sub"), "ok sub");
        }
        return peer;
    }

    std::unique_ptr<host::link::MosquittoBroker> broker;
};

}  // namespace mqttlinktest
