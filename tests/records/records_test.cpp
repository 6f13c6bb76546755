// The records: the echo key, card and address identity, the logging convention their users share,
// and the wire encoding checked against an implementation written elsewhere (Debian's
// python3-msgpack): we write its bytes exactly and read what it writes; hostile payloads give the
// decoding error and nothing else.
#include <algorithm>
#include <climits>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <echorecords/echorecords.h>
#include <echorecordswire/echorecordsmsgpack.h>
#include <host/log.h>

#include "logcapture.h"

#include "childprocess.h"

namespace tarn::mediadispatch {
namespace {

using vantor::EditingMode;
using vantor::mediadispatch::cardKey;
using vantor::mediadispatch::sameCard;

TEST(RecordKeys, EchoKeyIsMediaIdThenSignedModeAndACardItsDeviceId) {
    EXPECT_EQ(echoKey(501, static_cast<EditingMode>(2)), "5012");
    EXPECT_EQ(echoKey(7, static_cast<EditingMode>(-1)), "7-1");
    EXPECT_EQ(echoKey(0, vantor::kEditingModeDefault), "04096");
    EXPECT_EQ(echoKey(123, static_cast<EditingMode>(4)), echoKey(12, static_cast<EditingMode>(34)));
    EXPECT_EQ(EchoKey(UINT64_MAX, static_cast<EditingMode>(INT_MIN)).view(),
              "18446744073709551615-2147483648");
    // A card is its device id byte for byte; an address adds its URL.
    const STDisplayCardId a{"node-a", 1, "GPU-0", "x"};
    EXPECT_TRUE(sameCard(a, {"node-b", 2, "GPU-0", "y"}));
    EXPECT_FALSE(sameCard(a, {"node-a", 1, "gpu-0", "x"}));
    EXPECT_FALSE(sameCard(a, {"node-a", 1, std::string("GPU-0\0", 6), "x"}));
    EXPECT_EQ(cardKey(a), "node-aGPU-0");
    EXPECT_TRUE(sameAddr({a, "rtsp://x"}, {{"m", 2, "GPU-0", "e"}, "rtsp://x"}));
    EXPECT_FALSE(sameAddr({a, "rtsp://x"}, {a, "rtsp://y"}));
}

// The level and the location suffix of every other log line are checked where it is written; here
// the exact line number, and braces of a message without arguments printed as they stand.
TEST(Logging, MessageGetsTheLocationSuffixWithItsLineAndBracesWithoutArgumentsStay) {
    testsupport::LogCapture capture;
    const int line = __LINE__ + 1;
    TARN_LOG_INFO("no {} placeholders here");
    EXPECT_EQ(capture.texts(),
              std::vector<std::string>{"no {} placeholders here \n //records_test.cpp:TestBody()#" +
                                       std::to_string(line) + "."});
}

// The peer's bytes by name; empty when the peer did not run.
const std::map<std::string, std::string>& peer() {
    static const auto vectors = [] {
        std::map<std::string, std::string> read;
        const auto run = testsupport::runProgram(SYSTEM_PYTHON, {MSGPACK_PEER_SCRIPT});
        std::istringstream lines(run.exitCode == 0 ? run.out : "");
        for (std::string name, hex; lines >> name >> hex;) {
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                read[name].push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
        }
        return read;
    }();
    return vectors;
}

// The peer's bytes of `name` decoded as T and encoded again.
template <typename T>
std::string reencoded(const std::string& name) {
    return wire::encodeRecord(
        wire::decodeRecord<T>(peer().at(name).data(), peer().at(name).size()));
}

// "decoded", "refused" (std::invalid_argument("unpack failed: Args not match!")) or "other".
template <typename F>
std::string outcome(F&& decode) {
    try {
        decode();
    } catch (const std::invalid_argument& error) {
        return std::string(error.what()) == "unpack failed: Args not match!" ? "refused" : "other";
    } catch (...) {
        return "other";
    }
    return "decoded";
}

template <typename T>
bool refused(const std::string& payload) {
    return outcome([&] { wire::decodeRecord<T>(payload.data(), payload.size()); }) == "refused";
}

const VideoEchoAddr kAddr{{"node-a", 7, "DEV-1", "extra"}, "rtsp://node-a/echo/DEV-1"};
const VideoEchoSpliceStrategy kStrategy{
    kAddr,
    {{1, 300, {2.0F, 0.5F, 1920.0F, 1080.0F}}, {uint64_t{1} << 40, 0, {0.25F, -1.5F, 0, 0}}}};

TEST(RecordWire, WeWriteThePeersBytesAndReadItsEncodingWithDefaultsAndSurplus) {
    ASSERT_FALSE(peer().empty()) << "the msgpack peer did not run";
    const auto argument = wire::encodeArgument(kAddr);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::map<std::string, std::string> ours{
        {"card_big_id", wire::encodeRecord(STDisplayCardId{"n", UINT64_MAX, "d", ""})},
        {"rect_integral", wire::encodeRecord(RegionRect{2.0F, 0.0F, 1920.0F, -3.0F})},
        {"rect_fraction", wire::encodeRecord(RegionRect{0.5F, 1.25F, 100.75F, -0.5F})},
        {"rect_special",
         wire::encodeRecord(RegionRect{nan, std::numeric_limits<float>::infinity(), 3e20F, -0.0F})},
        {"strategy", wire::encodeRecord(kStrategy)},
        {"strategy_empty", wire::encodeRecord(VideoEchoSpliceStrategy{})},
        {"addr_vector",
         wire::encodeRecord(std::vector<VideoEchoAddr>{kAddr, {{"node-b", 300, "dev-2", ""}, ""}})},
        {"argument_addr", std::string(argument.data(), argument.size())}};
    for (const auto& [name, bytes] : ours) {
        EXPECT_EQ(bytes, peer().at(name)) << name;
    }
    // Missing fields take their defaults, surplus ones are skipped, bin reads as str.
    EXPECT_EQ(reencoded<VideoEchoAddr>("addr_card_only"),
              wire::encodeRecord(VideoEchoAddr{kAddr.cardId, ""}));
    EXPECT_EQ(reencoded<RegionRect>("rect_mixed"),
              wire::encodeRecord(RegionRect{1.5F, -2.0F, 3.0F, 4.25F}));
    EXPECT_EQ(reencoded<SpliceRegion>("region_two"), wire::encodeRecord(SpliceRegion{1, 2, {}}));
    EXPECT_EQ(reencoded<STDisplayCardId>("card_bin_surplus"),
              wire::encodeRecord(STDisplayCardId{"node", 1, "dev", "x"}));
    EXPECT_EQ(reencoded<VideoEchoSpliceStrategy>("strategy"), ours.at("strategy"));
    EXPECT_EQ(reencoded<std::vector<VideoEchoAddr>>("addr_vector"), ours.at("addr_vector"));
    const std::string& empty = peer().at("argument_empty");
    EXPECT_EQ(wire::decodeArgument<VideoEchoAddr>(empty.data(), empty.size()).url, "");
    const std::string& surplus = peer().at("argument_surplus");
    EXPECT_EQ(wire::decodeArgument<VideoEchoAddr>(surplus.data(), surplus.size()).url, kAddr.url);
}

TEST(RecordWire, HugeLengthsTruncationAndNoiseGiveTheDecodingError) {
    // Lengths that the payload cannot pay for are refused before anything is allocated.
    EXPECT_TRUE(refused<VideoEchoSpliceStrategy>(std::string("\x92\x90\xdd\xff\xff\xff\xff", 7)));
    EXPECT_TRUE(refused<STDisplayCardId>(std::string("\x91\xdb\xff\xff\xff\xf0", 6)));
    EXPECT_TRUE(refused<STDisplayCardId>(std::string("\x91\xc6\xff\xff\xff\xf0", 6)));
    EXPECT_TRUE(refused<STDisplayCardId>(std::string("\xdf\xff\xff\xff\xff", 5)));
    EXPECT_TRUE(refused<VideoEchoAddr>(std::string(100000, '\x91')));  // deep nesting
    EXPECT_THROW(wire::decodeArgument<VideoEchoAddr>(nullptr, 4), std::invalid_argument);
    const std::string full = wire::encodeRecord(kAddr);
    for (size_t size = 1; size < full.size(); ++size) {
        EXPECT_TRUE(refused<VideoEchoAddr>(full.substr(0, size))) << size;
    }
    // Noise past an array's first byte: decoded or refused, never another exception or a crash.
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string payload(1 + random() % 40, static_cast<char>(0x90 | (random() % 4)));
        std::generate(payload.begin() + 1, payload.end(),
                      [&] { return static_cast<char>(random()); });
        const auto size = payload.size();
        ASSERT_NE(
            outcome([&] { wire::decodeRecord<std::vector<VideoEchoAddr>>(&payload[0], size); }),
            "other");
        ASSERT_NE(
            outcome([&] { wire::decodeArgument<VideoEchoSpliceStrategy>(&payload[0], size); }),
            "other");
    }
}

}  // namespace
}  // namespace tarn::mediadispatch
