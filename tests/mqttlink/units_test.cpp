// The parts of the link that need no broker: topic layout, sequence numbers, presence, envelope.
#include <tuple>

#include <gtest/gtest.h>

#include "envelope.h"
#include "presencetracker.h"
#include "sequencefilter.h"
#include "topics.h"

namespace host::link {
namespace {

using namespace std::chrono_literals;

TEST(MqttLinkTopics, ParseInvertsTheLayoutAndRejectsForeignTopics) {
    using P = topics::Parsed;
    const std::string prefix = "site/one";
    const std::vector<std::tuple<std::string, P::Kind, std::string>> cases = {
        {topics::data(prefix, "42AddEchoAddr"), P::kData, "42AddEchoAddr"},
        {topics::data(prefix, "a/b"), P::kData, "a/b"},
        {topics::targeted(prefix, "me", "k"), P::kData, "k"},
        {topics::targeted(prefix, "other", "k"), P::kUnknown, ""},
        {topics::targeted(prefix, "mex", "k"), P::kUnknown, ""},
        {topics::status(prefix, "n1"), P::kStatus, "n1"},
        {topics::heartbeat(prefix, "n1"), P::kHeartbeat, "n1"},
        {topics::heartbeat(prefix, "n1/x"), P::kUnknown, ""},
        {"site/two/data/k", P::kUnknown, ""},
        {"site/one/data/", P::kUnknown, ""},
        {"site/one/else/k", P::kUnknown, ""},
    };
    for (const auto& [topic, kind, name] : cases) {
        const auto parsed = topics::parse(prefix, "me", topic);
        EXPECT_EQ(parsed.kind, kind) << topic;
        EXPECT_EQ(parsed.name, name) << topic;
    }
    EXPECT_FALSE(topics::isValidKey("a+"));
    EXPECT_FALSE(topics::isValidKey(std::string("a\0b", 3)));
    EXPECT_TRUE(topics::isValidPrefix("a/b"));
}

TEST(MqttLinkSequenceFilter, OnlyNumbersAboveTheLastOfTheirPublisherAndKeyAreFresh) {
    using V = SequenceFilter::Verdict;
    const std::vector<std::tuple<std::string, std::string, uint64_t, uint64_t, V>> steps = {
        {"a", "k", 10, 1, V::kFresh},     {"a", "k", 10, 3, V::kFresh},
        {"a", "k", 10, 3, V::kDuplicate}, {"a", "k", 10, 2, V::kStale},
        {"a", "j", 10, 2, V::kFresh},  // another key has its own last number
        {"b", "k", 10, 1, V::kFresh},  // and another publisher
        {"a", "k", 11, 1, V::kFresh},  // a restarted publisher starts again
        {"a", "k", 10, 9, V::kStale},  // its previous run is over
    };
    SequenceFilter filter;
    for (const auto& [origin, key, session, sequence, verdict] : steps) {
        EXPECT_EQ(filter.check(origin, key, session, sequence), verdict)
            << origin << " " << key << " " << session << " " << sequence;
    }
}

TEST(MqttLinkPresence, HeartbeatsMakeAliveTimeOutsAndFarewellsOfTheSameRunMakeLost) {
    PresenceTracker tracker(2500ms);
    const auto t0 = PresenceTracker::Clock::time_point{} + 100s;
    EXPECT_FALSE(tracker.onStatus("n", true, 5));  // a retained "online" proves nothing
    auto event = tracker.onHeartbeat("n", 5, t0);
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->lost);
    EXPECT_FALSE(tracker.onHeartbeat("n", 5, t0 + 1s));
    EXPECT_TRUE(tracker.expire(t0 + 3s).empty());
    const auto expired = tracker.expire(t0 + 3600ms);
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_TRUE(expired[0].lost);
    EXPECT_TRUE(tracker.alive().empty());

    ASSERT_TRUE(tracker.onHeartbeat("n", 5, t0 + 4s));  // back after a freeze
    EXPECT_FALSE(tracker.onStatus("n", false, 4));      // the will of an older run
    event = tracker.onStatus("n", false, 5);
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->lost);
    EXPECT_FALSE(tracker.onStatus("n", false, 5));             // reported once
    ASSERT_TRUE(tracker.onHeartbeat("n", 6, t0 + 5s));         // a new run
    ASSERT_TRUE(tracker.onHeartbeat("n", 7, t0 + 5s));         // restarted while alive
    EXPECT_EQ(tracker.onStatus("n", false, 6), std::nullopt);  // the will of the run before
    EXPECT_EQ(tracker.alive(), std::vector<std::string>{"n"});
}

TEST(MqttLinkEnvelope, FramesRoundTripAndAnythingElseIsRefused) {
    const std::string payload("\x92\x01\x00bytes", 8);
    const auto frame = frameMessage({"node", 1234567890123, 42}, payload);
    ASSERT_TRUE(frame);
    const auto read = unframeMessage(*frame);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->envelope.origin, "node");
    EXPECT_EQ(read->envelope.session, 1234567890123u);
    EXPECT_EQ(read->envelope.sequence, 42u);
    EXPECT_EQ(read->payload, payload);  // the payload's bytes unchanged
    EXPECT_EQ(unframeMessage(frameMessage({"n", 1, 2}, "").value())->payload, "");

    EXPECT_FALSE(frameMessage({"", 1, 2}, payload));
    EXPECT_FALSE(frameMessage({std::string(256, 'n'), 1, 2}, payload));
    const std::string good = *frame;
    const std::vector<std::string> bad = {
        "",
        "plain text",
        good.substr(0, 19),                                           // cut in the header
        good.substr(0, 22),                                           // cut in the origin
        "X" + good.substr(1),                                         // another magic
        good.substr(0, 1) + "\x02" + good.substr(2),                  // another version
        good.substr(0, 18) + std::string(1, '\0') + good.substr(19),  // no origin
    };
    for (const auto& bytes : bad) {
        EXPECT_FALSE(unframeMessage(bytes)) << bytes.size();
    }
    for (const std::string text :
         {"", "-1", "1x", "18446744073709551616", "99999999999999999999"}) {
        EXPECT_FALSE(parseDecimal(text)) << text;
    }
    EXPECT_EQ(parseDecimal("18446744073709551615"), UINT64_MAX);
}

}  // namespace
}  // namespace host::link
