// What the link tests share: a private broker with two installations, options for managers of
// this process and of peer processes, and a recorder of the node-status signal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <host/link/mosquittobroker.h>
#include <host/link/mqttlinkmgr.h>

#include "linkpeer.h"

namespace mqttlinktest {

inline const host::link::BrokerInstallation kInstallationA{"tarntest/a", "usera", "secret-a"};
inline const host::link::BrokerInstallation kInstallationB{"tarntest/b", "userb", "secret-b"};

inline host::link::MosquittoBrokerOptions twoInstallations() {
    host::link::MosquittoBrokerOptions options;
    options.installations = {kInstallationA, kInstallationB};
    return options;
}

// Records what a manager reports through its signals, for waiting on it. The slots hold the
// record by shared pointer: a signal already on its way on the link's delivery thread when the log
// is destroyed writes into a record that still exists.
class SignalLog {
public:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::string text;  // "node ID lost|present", "type N", "resync"
        Clock::time_point at;
    };

    // Disconnects when destroyed, so it may die before the manager.
    explicit SignalLog(host::link::MqttLinkMgr& link)
        : record_(std::make_shared<Record>()),
          node_(link.serverNodeInfoChanged.connect(
              [record = record_](const vantor::link::ServerNodeInfo& info) {
                  record->add("node " + info.nodeId + (info.disconnected ? " lost" : " present"));
              })),
          type_(link.serverTypeChanged.connect(
              [record = record_](const vantor::link::ServerType& type) {
                  record->add("type " + std::to_string(type));
              })),
          resync_(link.resyncRequested.connect([record = record_] { record->add("resync"); })) {}

    // The time of the first entry `text` at or after `since`, or nothing within `timeout`.
    std::optional<Clock::time_point> waitFor(const std::string& text, Clock::time_point since,
                                             std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(record_->mutex);
        std::optional<Clock::time_point> found;
        record_->changed.wait_for(lock, timeout, [&] {
            for (const auto& entry : record_->entries) {
                if (entry.text == text && entry.at >= since) {
                    found = entry.at;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    size_t count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(record_->mutex);
        size_t n = 0;
        for (const auto& entry : record_->entries) {
            n += entry.text == text ? 1 : 0;
        }
        return n;
    }

private:
    struct Record {
        void add(std::string text) {
            std::lock_guard<std::mutex> lock(mutex);
            entries.push_back({std::move(text), Clock::now()});
            changed.notify_all();
        }
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::vector<Entry> entries;  // guarded by mutex
    };

    std::shared_ptr<Record> record_;
    host::ScopedConnection node_;
    host::ScopedConnection type_;
    host::ScopedConnection resync_;
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { startBroker(twoInstallations()); }

    void startBroker(host::link::MosquittoBrokerOptions options) {
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
