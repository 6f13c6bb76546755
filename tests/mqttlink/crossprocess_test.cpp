// Managers in this process and in peer processes, through a real broker.
#include <atomic>
#include <csignal>
#include <thread>

#include <envelope.h>

#include <gtest/gtest.h>

#include <logcapture.h>

#include "linktestsupport.h"

namespace mqttlinktest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void publish(host::link::MqttLinkMgr& link, const std::string& key, const std::string& payload,
             std::vector<std::string> targets = {}) {
    vantor::link::LinkMessage message{key, payload, true, std::move(targets), 0};
    link.publish(message);
}

// A link frame from "tool" with `sequence` around `payload`.
std::string frame(uint64_t sequence, const std::string& payload) {
    return host::link::frameMessage({"tool", 1, sequence}, payload).value();
}

// Publishes `payload` as is on `topic` with mosquitto_pub, logged in as `user`; its exit code.
int mosquittoPub(int port, const host::link::BrokerInstallation& user, const std::string& topic,
                 const std::string& payload) {
    testsupport::ChildProcess pub(
        "mosquitto_pub", {"-h", "127.0.0.1", "-p", std::to_string(port), "-u", user.user, "-P",
                          user.password, "-q", "1", "-t", topic, "-s"});
    pub.write(payload);
    return pub.finish().exitCode;
}

using MqttLinkCrossProcess = LinkTest;

TEST_F(MqttLinkCrossProcess, MessagesReachTheSubscribersOfTheirKeyAndOnlyTheTargets) {
    std::atomic<int> senderDeliveries{0};
    host::link::MqttLinkMgr sender(linkOptions("sender"));
    ASSERT_TRUE(sender.waitConnected(10s));
    sender.subscribe("k", [&](std::string, std::string) { ++senderDeliveries; });
    auto one = startPeer(peerConfig("one"), {"k"});
    auto two = startPeer(peerConfig("two"), {"k", "other"});

    publish(sender, "k", "all");
    publish(sender, "k", "onlyone", {"one"});
    publish(sender, "k", "end");
    EXPECT_EQ(one->waitFor("msg "), "msg k all");
    EXPECT_EQ(one->waitFor("msg "), "msg k onlyone");
    EXPECT_EQ(one->waitFor("msg "), "msg k end");
    EXPECT_EQ(two->waitFor("msg "), "msg k all");
    EXPECT_EQ(two->waitFor("msg "), "msg k end");  // never the message targeted at "one"

    // A peer's message reaches this process, and neither publisher hears itself.
    one->ask("pub k fromone", "ok pub");
    EXPECT_EQ(two->waitFor("msg "), "msg k fromone");
    sender.drain();
    std::this_thread::sleep_for(200ms);
    sender.drain();
    EXPECT_EQ(senderDeliveries, 1);
    EXPECT_TRUE(one->linesStartingWith("msg k fromone").empty());
    EXPECT_TRUE(two->linesStartingWith("msg other").empty());
}

TEST_F(MqttLinkCrossProcess, MessagesOfOnePublisherAndKeyArriveInOrderOnce) {
    host::link::MqttLinkMgr sender(linkOptions("sender"));
    ASSERT_TRUE(sender.waitConnected(10s));
    auto peer = startPeer(peerConfig("peer"), {"seq"});
    constexpr int kCount = 500;
    for (int i = 0; i < kCount; ++i) {
        publish(sender, "seq", std::to_string(i));
    }
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(peer->waitFor("msg seq "), "msg seq " + std::to_string(i));
    }
    const auto counters = peer->ask("counters", "counters");
    EXPECT_EQ(field(counters, "received"), kCount);
    EXPECT_EQ(field(counters, "duplicates") + field(counters, "stale"), 0);
    EXPECT_EQ(sender.counters().publishedByKey.at("seq"), static_cast<uint64_t>(kCount));
}

TEST_F(MqttLinkCrossProcess, PresenceOnConnectCleanStopAndKill) {
    host::link::MqttLinkMgr watcher(linkOptions("watcher"));
    SignalLog log(watcher);
    ASSERT_TRUE(watcher.waitConnected(10s));
    ASSERT_TRUE(log.waitFor("type 2", {}, 5s));

    const auto start = Clock::now();
    auto leaving = startPeer(peerConfig("leaving"));
    auto killed = startPeer(peerConfig("killed"));
    EXPECT_TRUE(log.waitFor("node leaving present", start, 5s));
    EXPECT_TRUE(log.waitFor("node killed present", start, 5s));
    // The watcher announced itself to the newcomers too.
    EXPECT_EQ(leaving->waitFor("node watcher present"), "node watcher present");

    // A clean stop and a kill are both reported at once, without waiting for the heartbeats.
    auto stopped = Clock::now();
    leaving->send("quit");
    EXPECT_EQ(leaving->wait(), 0);
    auto lost = log.waitFor("node leaving lost", stopped, 5s);
    ASSERT_TRUE(lost);
    EXPECT_LT(*lost - stopped, 1500ms);

    stopped = Clock::now();
    killed->signal(SIGKILL);
    killed->wait();
    lost = log.waitFor("node killed lost", stopped, 5s);
    ASSERT_TRUE(lost);
    EXPECT_LT(*lost - stopped, 1500ms);
    EXPECT_TRUE(watcher.peers().empty());
    EXPECT_EQ(log.count("type 2"), 1u);
}

TEST_F(MqttLinkCrossProcess, AFrozenPeerIsLostWithinTwoHeartbeatsAndOneSecondAndComesBack) {
    host::link::MqttLinkMgr watcher(linkOptions("watcher"));
    SignalLog log(watcher);
    ASSERT_TRUE(watcher.waitConnected(10s));
    auto frozen = startPeer(peerConfig("frozen"));
    ASSERT_TRUE(log.waitFor("node frozen present", {}, 5s));

    const auto stoppedAt = Clock::now();
    frozen->signal(SIGSTOP);
    const auto lost = log.waitFor("node frozen lost", stoppedAt, 10s);
    ASSERT_TRUE(lost);
    const auto heartbeat = watcher.options().heartbeat;
    std::cout << "frozen peer reported lost after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(*lost - stoppedAt).count()
              << " ms (heartbeat " << heartbeat.count() << " ms)\n";
    // The bound the link promises, with a second more for a loaded machine.
    EXPECT_LE(*lost - stoppedAt, 2 * heartbeat + 1s + 1s);
    EXPECT_GE(*lost - stoppedAt, heartbeat);

    const auto resumedAt = Clock::now();
    frozen->signal(SIGCONT);
    EXPECT_TRUE(log.waitFor("node frozen present", resumedAt, 5s));
}

TEST_F(MqttLinkCrossProcess, ASecondMachineWithTheSameNodeIdIsRefused) {
    host::link::MqttLinkMgr first(linkOptions("twin"));
    SignalLog log(first);
    ASSERT_TRUE(first.waitConnected(10s));
    auto watcher = startPeer(peerConfig("watcher"), {"k"});
    ASSERT_EQ(watcher->waitFor("node twin present"), "node twin present");

    auto second = spawnPeer(peerConfig("twin"));
    std::string counters;
    for (auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
        counters = second->ask("counters", "counters");
        if (field(counters, "refused") == 1) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(field(counters, "refused"), 1) << counters;
    EXPECT_EQ(field(counters, "connected"), 0) << counters;

    // The first one keeps its place and its link: nothing was kicked off.
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(first.counters().refused);
    EXPECT_TRUE(first.counters().connected);
    EXPECT_EQ(first.counters().connects, 1u);
    publish(first, "k", "stillhere");
    EXPECT_EQ(watcher->waitFor("msg "), "msg k stillhere");
    EXPECT_TRUE(watcher->linesStartingWith("node twin lost").empty());
}

TEST_F(MqttLinkCrossProcess, TwoInstallationsOnOneBrokerDoNotHearEachOther) {
    std::atomic<int> deliveries{0};
    host::link::MqttLinkMgr a(linkOptions("node", kInstallationA));
    SignalLog log(a);
    a.subscribe("k", [&](std::string, std::string) { ++deliveries; });
    ASSERT_TRUE(a.waitConnected(10s));
    auto b = startPeer(peerConfig("other", kInstallationB), {"k"});
    auto sameInstallation = startPeer(peerConfig("mate", kInstallationA), {"k"});

    b->ask("pub k fromb", "ok pub");
    publish(a, "k", "froma");
    EXPECT_EQ(sameInstallation->waitFor("msg "), "msg k froma");
    // Installation B's user cannot write into A's prefix either, whatever it puts in the topic.
    mosquittoPub(broker->port(), kInstallationB, kInstallationA.prefix + "/data/k",
                 frame(1, "intruder"));
    sameInstallation->ask("pub k end", "ok pub");
    std::this_thread::sleep_for(500ms);
    a.drain();
    EXPECT_EQ(deliveries, 1);  // "end" from the mate only
    EXPECT_TRUE(b->linesStartingWith("msg").empty());
    EXPECT_TRUE(b->linesStartingWith("node").empty());
    EXPECT_EQ(log.count("node other present"), 0u);
    EXPECT_EQ(log.count("node mate present"), 1u);
}

TEST_F(MqttLinkCrossProcess, MalformedMessagesAreLoggedAndDropped) {
    testsupport::LogCapture capture;
    std::vector<std::string> delivered;  // written on the delivery thread, read after drain()
    host::link::MqttLinkMgr link(linkOptions("node"));
    link.subscribe("k", [&](std::string payload, std::string) {
        if (payload == "\xc1") {
            throw std::invalid_argument("unpack failed: Args not match!");
        }
        delivered.push_back(payload);
    });
    ASSERT_TRUE(link.waitConnected(10s));
    const auto topic = kInstallationA.prefix + "/data/k";
    // No frame at all; a frame cut short; a payload that the handler cannot decode; then a good
    // one, and a replay of it.
    for (const auto& payload : {std::string("bare"), frame(1, "x").substr(0, 10), frame(1, "\xc1"),
                                frame(2, "good"), frame(2, "good")}) {
        EXPECT_EQ(mosquittoPub(broker->port(), kInstallationA, topic, payload), 0);
    }
    for (auto deadline = Clock::now() + 5s;
         Clock::now() < deadline && link.counters().duplicates == 0;) {
        std::this_thread::sleep_for(20ms);
    }
    link.drain();
    const auto counters = link.counters();
    EXPECT_EQ(counters.malformed, 2u);
    EXPECT_EQ(counters.handlerErrors, 1u);
    EXPECT_EQ(counters.duplicates, 1u);
    EXPECT_EQ(delivered, std::vector<std::string>{"good"});
    EXPECT_EQ(
        capture.startingWith("link: handler of k failed: unpack failed: Args not match!").size(),
        1u);
    EXPECT_EQ(capture.startingWith("link: dropped a message on k that is no link frame").size(),
              2u);
}

TEST_F(MqttLinkCrossProcess, OversizedMessagesAreRefusedByBothEnds) {
    // The broker takes at most 64 KiB, the sender at most 1 MiB.
    startBroker([] {
        auto options = twoInstallations();
        options.maxPacketBytes = 64 * 1024;
        return options;
    }());
    testsupport::LogCapture capture;
    auto options = linkOptions("sender");
    options.maxMessageBytes = 1024 * 1024;
    host::link::MqttLinkMgr sender(options);
    ASSERT_TRUE(sender.waitConnected(10s));
    auto peer = startPeer(peerConfig("peer"), {"k"});

    publish(sender, "k", std::string(2 * 1024 * 1024, 'x'));  // over the sender's own limit
    publish(sender, "k", std::string(100 * 1024, 'x'));       // over the broker's limit
    publish(sender, "k", "small");
    EXPECT_EQ(peer->waitFor("msg "), "msg k small");
    EXPECT_EQ(sender.counters().oversized, 2u);
    EXPECT_EQ(sender.counters().connects, 1u);  // the broker did not throw the sender out
    EXPECT_EQ(capture.startingWith("link: refused a message of 2097152 bytes on k").size(), 1u);
}

TEST_F(MqttLinkCrossProcess, AnUnreachableBrokerIsRetriedAndReportedOnceWhilePublicationsWait) {
    testsupport::LogCapture capture;
    broker->stop();
    auto options = linkOptions("node");
    options.queueBound = 3;
    host::link::MqttLinkMgr link(options);
    for (int i = 0; i < 5; ++i) {
        publish(link, "k", std::to_string(i));  // three wait, two are dropped
    }
    std::this_thread::sleep_for(1500ms);  // several attempts
    EXPECT_FALSE(link.counters().connected);
    EXPECT_EQ(capture.startingWith("link: offline queue full (3 messages)").size(), 1u);
    EXPECT_EQ(capture
                  .startingWith("link: broker 127.0.0.1:" + std::to_string(broker->port()) +
                                " not reachable")
                  .size(),
              1u);
    ASSERT_TRUE(broker->restart());
    EXPECT_TRUE(link.waitConnected(10s));
    const auto counters = link.counters();
    EXPECT_EQ(counters.queued, 3u);
    EXPECT_EQ(counters.queueDropped, 2u);
    EXPECT_EQ(counters.published, 3u);  // the waiting ones went out on connecting
}

TEST(MqttLinkOptions, OptionsThatCannotWorkAreRefusedAtConstruction) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "tarn"}, {"a/b", "tarn"},   {"a+", "tarn"},
        {"node", ""}, {"node", "tarn/"}, {"node", "tarn/#"}};
    for (const auto& [node, prefix] : bad) {
        host::link::MqttLinkOptions options;
        options.nodeId = node;
        options.prefix = prefix;
        EXPECT_THROW(host::link::MqttLinkMgr{options}, std::invalid_argument)
            << node << " " << prefix;
    }
    host::link::MqttLinkOptions options;
    options.nodeId = std::string(256, 'n');
    EXPECT_THROW(host::link::MqttLinkMgr{options}, std::invalid_argument);
    options.nodeId = "node";
    options.keepAlive = std::chrono::seconds(4);
    EXPECT_THROW(host::link::MqttLinkMgr{options}, std::invalid_argument);
    options.keepAlive = std::chrono::seconds(5);
    options.queueBound = 0;
    EXPECT_THROW(host::link::MqttLinkMgr{options}, std::invalid_argument);
}

}  // namespace
}  // namespace mqttlinktest
