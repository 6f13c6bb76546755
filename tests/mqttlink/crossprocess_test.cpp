// Managers in this process and in peer processes, through a real broker.
#include <atomic>
#include <csignal>
#include <map>
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

// Publishes `payload` as is on `topic` with mosquitto_pub, logged in as `user`.
void mosquittoPub(int port, const host::link::BrokerInstallation& user, const std::string& topic,
                  const std::string& payload) {
    testsupport::ChildProcess pub(
        "mosquitto_pub", {"-h", "127.0.0.1", "-p", std::to_string(port), "-u", user.user, "-P",
                          user.password, "-q", "1", "-t", topic, "-s"});
    pub.write(payload);
    pub.finish();
}

using MqttLinkCrossProcess = LinkTest;

// Installation A: this process and peers one and two; installation B: peer "other", on the same
// broker.
TEST_F(MqttLinkCrossProcess, MessagesReachTheirKeysSubscribersInOrderOnlyTargetsOnlyInstallation) {
    std::atomic<int> senderDeliveries{0};
    host::link::MqttLinkMgr sender(linkOptions("sender"));
    ASSERT_TRUE(sender.waitConnected(10s));
    sender.subscribe("k", [&](std::string, std::string) { ++senderDeliveries; });
    auto one = startPeer(linkOptions("one"), {"k", "seq"});
    auto two = startPeer(linkOptions("two"), {"k"});
    auto other = startPeer(linkOptions("other", kInstallationB), {"k"});
    other->ask("pub k fromb", "ok pub");
    // B's user cannot write into A's prefix either, whatever it puts in the topic.
    mosquittoPub(broker->port(), kInstallationB, kInstallationA.prefix + "/data/k",
                 frame(1, "intruder"));

    publish(sender, "k", "all");
    publish(sender, "k", "onlyone", {"one"});
    publish(sender, "k", "end");
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        publish(sender, "seq", std::to_string(i));
    }
    for (const auto* text : {"msg k all", "msg k onlyone", "msg k end"}) {
        EXPECT_EQ(one->waitFor("msg k "), text);
    }
    EXPECT_EQ(two->waitFor("msg "), "msg k all");
    EXPECT_EQ(two->waitFor("msg "), "msg k end");  // never the message targeted at "one"
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(one->waitFor("msg seq "), "msg seq " + std::to_string(i));
    }
    const auto counters = one->ask("counters", "counters");
    EXPECT_EQ(field(counters, "received"), kCount + 3);
    EXPECT_EQ(field(counters, "duplicates") + field(counters, "stale"), 0);
    EXPECT_EQ(sender.counters().publishedByKey.at("seq"), static_cast<uint64_t>(kCount));

    // A peer's message reaches this process, and neither publisher hears itself.
    one->ask("pub k fromone", "ok pub");
    EXPECT_EQ(two->waitFor("msg "), "msg k fromone");
    std::this_thread::sleep_for(200ms);
    sender.drain();
    EXPECT_EQ(senderDeliveries, 1);
    EXPECT_TRUE(one->linesStartingWith("msg k fromone").empty());
    EXPECT_TRUE(other->linesStartingWith("msg").empty());
    EXPECT_TRUE(other->linesStartingWith("node").empty());
    EXPECT_TRUE(one->linesStartingWith("node other").empty());
}

TEST_F(MqttLinkCrossProcess, PresenceOnConnectCleanStopKillAndFreezeAndATwinIsRefused) {
    // Heartbeats of 2 s: a node found lost by missed heartbeats is found 3 s after it went at the
    // earliest, which tells it apart from one reported at once even on a loaded machine.
    constexpr auto heartbeat = 2s;
    const auto slowBeating = [&](const std::string& name) {
        auto options = linkOptions(name);
        options.heartbeat = heartbeat;
        return options;
    };
    auto watcher = startPeer(slowBeating("watcher"));
    std::map<std::string, std::unique_ptr<testsupport::ChildProcess>> peers;
    for (const std::string name : {"leaving", "killed", "frozen"}) {
        peers[name] = startPeer(slowBeating(name));
        EXPECT_EQ(watcher->waitFor("node " + name), "node " + name + " present");
    }
    // The watcher announced itself to the newcomers too.
    EXPECT_EQ(seen(*peers["leaving"], "node watcher"), "node watcher present");

    // A clean stop and a kill are each reported at once, without waiting for the heartbeats.
    auto start = Clock::now();
    peers["leaving"]->send("quit");
    EXPECT_EQ(peers["leaving"]->wait(), 0);
    EXPECT_EQ(watcher->waitFor("node leaving"), "node leaving lost");
    EXPECT_LT(Clock::now() - start, 2500ms);
    start = Clock::now();
    peers["killed"]->signal(SIGKILL);
    EXPECT_EQ(watcher->waitFor("node killed"), "node killed lost");
    EXPECT_LT(Clock::now() - start, 2500ms);

    // A frozen one after two and a half heartbeats without one (and up to 2 s more for the check
    // and a loaded machine).
    start = Clock::now();
    peers["frozen"]->signal(SIGSTOP);
    EXPECT_EQ(watcher->waitFor("node frozen", 15s), "node frozen lost");
    EXPECT_LE(Clock::now() - start, heartbeat * 5 / 2 + 2s);
    EXPECT_GE(Clock::now() - start, heartbeat * 3 / 2);
    peers["frozen"]->signal(SIGCONT);
    EXPECT_EQ(watcher->waitFor("node frozen"), "node frozen present");

    // A second machine with the watcher's id is refused, and the watcher keeps its place.
    host::link::MqttLinkMgr twin(linkOptions("watcher"));
    for (auto deadline = Clock::now() + 10s; Clock::now() < deadline && !twin.counters().refused;) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(twin.counters().refused);
    EXPECT_FALSE(twin.counters().connected);
    std::this_thread::sleep_for(500ms);
    const auto counters = watcher->ask("counters", "counters");
    EXPECT_EQ(field(counters, "connected"), 1) << counters;
    EXPECT_EQ(field(counters, "connects"), 1) << counters;
    EXPECT_TRUE(peers["frozen"]->linesStartingWith("node watcher lost").empty());
    EXPECT_EQ(watcher->linesStartingWith("type "), std::vector<std::string>{"type 2"});
}

// An unreachable broker at start, then malformed, replayed and oversized messages: each held or
// dropped as it should be, with its log line once.
TEST_F(MqttLinkCrossProcess, AnUnreachableBrokerAndBadMessagesAreHandledAndLogged) {
    // The broker takes at most 64 KiB, the sender at most 1 MiB.
    startBroker([](auto& options) { options.maxPacketBytes = 64 * 1024; });
    broker->stop();
    testsupport::LogCapture capture;
    std::vector<std::string> delivered;  // written on the delivery thread, read after drain()
    auto options = linkOptions("node");
    options.maxMessageBytes = 1024 * 1024;
    options.queueBound = 3;
    host::link::MqttLinkMgr link(options);
    link.subscribe("k", [&](std::string payload, std::string) {
        if (payload == "\xc1") {
            throw std::invalid_argument("unpack failed: Args not match!");
        }
        delivered.push_back(payload);
    });
    for (int i = 0; i < 5; ++i) {
        publish(link, "q", std::to_string(i));  // three wait, two are dropped
    }
    std::this_thread::sleep_for(1500ms);  // several attempts
    EXPECT_FALSE(link.counters().connected);
    ASSERT_TRUE(broker->restart());
    ASSERT_TRUE(link.waitConnected(10s));
    auto counters = link.counters();
    EXPECT_EQ(counters.queued, 3u);
    EXPECT_EQ(counters.queueDropped, 2u);
    EXPECT_EQ(counters.published, 3u);  // the waiting ones went out on connecting

    auto peer = startPeer(linkOptions("peer"), {"k"});
    // No frame at all; a frame cut short; a payload that the handler cannot decode; then a good
    // one, and a replay of it.
    for (const auto& payload : {std::string("bare"), frame(1, "x").substr(0, 10), frame(1, "\xc1"),
                                frame(2, "good"), frame(2, "good")}) {
        mosquittoPub(broker->port(), kInstallationA, kInstallationA.prefix + "/data/k", payload);
    }
    publish(link, "k", std::string(2 * 1024 * 1024, 'x'));  // over the sender's own limit
    publish(link, "k", std::string(100 * 1024, 'x'));       // over the broker's limit
    publish(link, "k", "small");
    EXPECT_EQ(peer->waitFor("msg k small"), "msg k small");
    for (auto deadline = Clock::now() + 5s;
         Clock::now() < deadline && link.counters().duplicates == 0;) {
        std::this_thread::sleep_for(20ms);
    }
    link.drain();
    counters = link.counters();
    EXPECT_EQ(counters.malformed, 2u);
    EXPECT_EQ(counters.handlerErrors, 1u);
    EXPECT_EQ(counters.duplicates, 1u);
    EXPECT_EQ(counters.oversized, 2u);
    EXPECT_EQ(counters.connects, 1u);  // the broker did not throw the sender out
    EXPECT_EQ(delivered, std::vector<std::string>{"good"});
    for (const auto& [line, times] : std::vector<std::pair<std::string, size_t>>{
             {"link: broker 127.0.0.1:" + std::to_string(broker->port()) + " not reachable", 1},
             {"link: offline queue full (3 messages)", 1},
             {"link: handler of k failed: unpack failed: Args not match!", 1},
             {"link: dropped a message on k that is no link frame", 2},
             {"link: refused a message of 2097152 bytes on k", 1}}) {
        EXPECT_EQ(capture.startingWith(line).size(), times) << line;
    }
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
