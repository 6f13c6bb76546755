// Link records are state: whatever a broker outage loses, the resync after it makes good. The test
// stops and kills the broker, so it is labelled slow.
#include <atomic>
#include <csignal>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "linktestsupport.h"

namespace mqttlinktest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A machine that owns the records 1 to `made`: each one is published under "rec" as it is made,
// and the complete list under "list" whenever the link asks for a resync.
class RecordSource {
public:
    explicit RecordSource(host::link::MqttLinkOptions options) : link(std::move(options)) {
        resync_ = link.resyncRequested.connect([this] {
            ++resyncs;
            std::string list;
            for (long long id = 1; id <= made; ++id) {
                list += (id == 1 ? "" : ",") + std::to_string(id);
            }
            publish("list", list);
        });
        type_ =
            link.serverTypeChanged.connect([this](const vantor::link::ServerType&) { ++types; });
    }

    void make(long long to) {
        while (made < to) {
            publish("rec", std::to_string(++made));
        }
    }

    std::atomic<long long> made{0};
    std::atomic<int> resyncs{0};
    std::atomic<int> types{0};
    host::link::MqttLinkMgr link;

private:
    void publish(const std::string& key, const std::string& payload) {
        vantor::link::LinkMessage message{key, payload, true, {}, 0};
        link.publish(message);
    }

    host::ScopedConnection resync_;
    host::ScopedConnection type_;
};

// Waits until the sink has received `expected` records; the number of unique ones, and of those
// that first came in a complete list (losses the resync repaired).
std::pair<size_t, size_t> waitForRecords(testsupport::ChildProcess& sink, size_t expected,
                                         std::chrono::seconds timeout) {
    std::set<long long> ids;
    size_t repaired = 0;
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        ids.clear();
        repaired = 0;
        for (const auto& line : sink.linesStartingWith("msg ")) {
            const bool list = line.compare(0, 9, "msg list ") == 0;
            std::istringstream items(line.substr(list ? 9 : 8));
            for (std::string item; std::getline(items, item, ',');) {
                repaired += ids.insert(std::stoll(item)).second && list ? 1 : 0;
            }
        }
        if (ids.size() == expected) {
            break;
        }
        std::this_thread::sleep_for(200ms);
    }
    return {ids.size(), repaired};
}

using MqttLinkSlow = LinkTest;

TEST_F(MqttLinkSlow, StateConvergesAfterTheBrokerIsStoppedAndAfterItIsKilledMidStream) {
    // With persistence the killed broker comes back with what it last saved: old messages, and
    // without those acknowledged after the save.
    startBroker([](auto& options) { options.persistence = true; });
    std::atomic<int> blocked{0};
    RecordSource source(linkOptions("source"));
    source.link.subscribe("slow", [&](std::string, std::string) {
        ++blocked;
        std::this_thread::sleep_for(4s);  // longer than the others' time-out for this machine
    });
    ASSERT_TRUE(source.link.waitConnected(10s));
    auto sink = startPeer(linkOptions("sink"), {"rec", "list"});
    ASSERT_EQ(seen(*sink, "node source"), "node source present");

    // While a handler blocks, the network thread keeps receiving and heartbeating.
    sink->ask("pub slow one", "ok pub");
    source.make(100);
    sink->ask("pub other two", "ok pub");
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(blocked, 1);
    EXPECT_EQ(source.link.counters().received, 2u);
    EXPECT_TRUE(sink->linesStartingWith("node source lost").empty());
    EXPECT_EQ(waitForRecords(*sink, 100, 10s).first, 100u);

    broker->stop();
    for (auto deadline = Clock::now() + 10s;
         Clock::now() < deadline && source.link.counters().connected;) {
        std::this_thread::sleep_for(20ms);
    }
    source.make(200);  // held while the broker is away
    EXPECT_EQ(source.link.counters().queued, 100u);
    ASSERT_TRUE(broker->restart());
    ASSERT_EQ(waitForRecords(*sink, 200, 20s).first, 200u);

    sink->signal(SIGSTOP);
    source.make(5000);
    std::this_thread::sleep_for(1500ms);  // past an autosave
    broker->kill();
    source.make(10000);
    ASSERT_TRUE(broker->restart());
    const auto restarted = Clock::now();
    sink->signal(SIGCONT);
    const auto [unique, repaired] = waitForRecords(*sink, 10000, 60s);
    EXPECT_EQ(unique, 10000u);
    const auto sent = source.link.counters();
    std::cout << "converged " << (Clock::now() - restarted) / 1ms << " ms after the restart, "
              << repaired << " records repaired by a resync; sink "
              << sink->ask("counters", "counters") << "; source queued " << sent.queued << "\n";
    EXPECT_EQ(sent.queueDropped, 0u);
    EXPECT_EQ(source.types, 1);  // the role is reported once, not at every reconnect
    EXPECT_GE(source.resyncs, 3);
}

}  // namespace
}  // namespace mqttlinktest
