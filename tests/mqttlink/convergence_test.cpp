// Link records are state: whatever a broker outage loses, the resync after it makes good. These
// tests stop and kill the broker, so they are labelled slow.
#include <atomic>
#include <csignal>
#include <iostream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "linktestsupport.h"

namespace mqttlinktest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A machine that owns numbered records: each one is published under "rec" as it is made, and the
// complete list under "list" whenever the link asks for a resync.
class RecordSource {
public:
    explicit RecordSource(host::link::MqttLinkOptions options) : link(std::move(options)) {
        resync_ = link.resyncRequested.connect([this] { publishList(); });
    }

    void make(long long from, long long to) {
        for (long long id = from; id <= to; ++id) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ids_.push_back(id);
            }
            vantor::link::LinkMessage message{"rec", std::to_string(id), true, {}, 0};
            link.publish(message);
        }
    }

    host::link::MqttLinkMgr link;

private:
    void publishList() {
        std::string list;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto id : ids_) {
                list += (list.empty() ? "" : ",") + std::to_string(id);
            }
        }
        if (!list.empty()) {
            vantor::link::LinkMessage message{"list", list, true, {}, 0};
            link.publish(message);
        }
    }

    std::mutex mutex_;
    std::vector<long long> ids_;  // guarded by mutex_
    host::ScopedConnection resync_;
};

// Asks the sink until it holds `expected` records; the last answer.
std::string waitForRecords(testsupport::ChildProcess& sink, long long expected,
                           std::chrono::seconds timeout) {
    std::string answer;
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        answer = sink.ask("count", "count");
        if (field(answer, "unique") == expected) {
            break;
        }
        std::this_thread::sleep_for(200ms);
    }
    return answer;
}

using MqttLinkSlow = LinkTest;

TEST_F(MqttLinkSlow, StateConvergesAfterTheBrokerIsStoppedAndRestarted) {
    RecordSource source(linkOptions("source"));
    SignalLog log(source.link);
    ASSERT_TRUE(source.link.waitConnected(10s));
    auto sink = startPeer(linkOptions("sink"));
    ASSERT_EQ(sink->ask("records", "ok records"), "ok records");
    source.make(1, 100);
    ASSERT_EQ(field(waitForRecords(*sink, 100, 10s), "unique"), 100);

    broker->stop();
    for (auto deadline = Clock::now() + 10s;
         Clock::now() < deadline && source.link.counters().connected;) {
        std::this_thread::sleep_for(20ms);
    }
    source.make(101, 200);  // held while the broker is away
    EXPECT_EQ(source.link.counters().queued, 100u);

    ASSERT_TRUE(broker->restart());
    const auto restarted = Clock::now();
    const auto answer = waitForRecords(*sink, 200, 20s);
    EXPECT_EQ(field(answer, "unique"), 200) << answer;
    std::cout
        << "converged "
        << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - restarted).count()
        << " ms after the restart: " << answer << "; " << sink->ask("counters", "counters") << "\n";
    EXPECT_EQ(log.count("type 2"), 1u);  // the role is reported once, not at every reconnect
    EXPECT_GE(log.count("resync"), 2u);
}

TEST_F(MqttLinkSlow, StateConvergesAfterTheBrokerIsKilledMidStreamWhileASubscriberIsPaused) {
    // With persistence the killed broker comes back with what it last saved: old messages, and
    // without those acknowledged after the save.
    startBroker([] {
        auto options = twoInstallations();
        options.persistence = true;
        return options;
    }());
    RecordSource source(linkOptions("source"));
    ASSERT_TRUE(source.link.waitConnected(10s));
    auto sink = startPeer(linkOptions("sink"));
    ASSERT_EQ(sink->ask("records", "ok records"), "ok records");
    source.make(1, 10);
    ASSERT_EQ(field(waitForRecords(*sink, 10, 10s), "unique"), 10);

    sink->signal(SIGSTOP);
    source.make(11, 5000);
    std::this_thread::sleep_for(1500ms);  // past an autosave
    broker->kill();
    source.make(5001, 10000);
    ASSERT_TRUE(broker->restart());
    const auto restarted = Clock::now();
    sink->signal(SIGCONT);

    const auto answer = waitForRecords(*sink, 10000, 60s);
    EXPECT_EQ(field(answer, "unique"), 10000) << answer;
    const auto counters = sink->ask("counters", "counters");
    const auto sent = source.link.counters();
    std::cout
        << "converged "
        << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - restarted).count()
        << " ms after the restart; sink: " << answer << "; " << counters
        << "; source: published=" << sent.published << " queued=" << sent.queued
        << " dropped=" << sent.queueDropped << "\n";
    EXPECT_EQ(sent.queueDropped, 0u);
}

TEST_F(MqttLinkSlow, AHandlerThatBlocksForSecondsDoesNotStopTheLink) {
    std::atomic<int> blocked{0};
    host::link::MqttLinkMgr link(linkOptions("busy"));
    link.subscribe("slow", [&](std::string, std::string) {
        ++blocked;
        std::this_thread::sleep_for(4s);  // longer than the others' time-out for this machine
    });
    ASSERT_TRUE(link.waitConnected(10s));
    auto peer = startPeer(linkOptions("peer"));
    ASSERT_EQ(peer->waitFor("node busy present"), "node busy present");

    peer->ask("pub slow one", "ok pub");
    for (auto deadline = Clock::now() + 5s; Clock::now() < deadline && blocked == 0;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(blocked, 1);
    // While the handler blocks, the network thread keeps receiving and heartbeating.
    for (int i = 0; i < 3; ++i) {
        peer->ask("pub other " + std::to_string(i), "ok pub");
    }
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(blocked, 1);
    EXPECT_GE(link.counters().received, 4u);
    EXPECT_TRUE(peer->linesStartingWith("node busy lost").empty());
    EXPECT_EQ(link.counters().connects, 1u);
}

}  // namespace
}  // namespace mqttlinktest
