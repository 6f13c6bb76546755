// The records' wire encoding checked against an implementation written elsewhere (Debian's
// python3-msgpack): we write its bytes exactly and read what it writes; hostile payloads give the
// decoding error and nothing else.
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <echorecordswire/echorecordsmsgpack.h>

namespace tarn::mediadispatch {
namespace {

using Vectors = std::map<std::string, std::string>;  // "encode name" / "decode name" -> bytes

const Vectors& peerVectors() {
    static const Vectors vectors = [] {
        Vectors read;
        FILE* pipe = ::popen(SYSTEM_PYTHON " " MSGPACK_PEER_SCRIPT, "r");
        std::string output;
        char buffer[4096];
        for (size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            output.append(buffer, got);
        }
        if (pipe == nullptr || ::pclose(pipe) != 0) {
            return read;
        }
        std::istringstream lines(output);
        std::string kind, name, hex;
        while (lines >> kind >> name >> hex) {
            std::string& bytes = read[kind + " " + name];
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
        }
        return read;
    }();
    return vectors;
}

template <typename T>
T decoded(const std::string& name) {
    const std::string& bytes = peerVectors().at("decode " + name);
    return wire::decodeRecord<T>(bytes.data(), bytes.size());
}

const VideoEchoAddr kAddr{{"node-a", 7, "DEV-1", "extra"}, "rtsp://node-a/echo/DEV-1"};
const VideoEchoAddr kAddr2{{"node-b", 300, "dev-2", ""}, ""};
const VideoEchoSpliceStrategy kStrategy{
    kAddr,
    {{1, 300, {2.0F, 0.5F, 1920.0F, 1080.0F}}, {uint64_t{1} << 40, 0, {0.25F, -1.5F, 0, 0}}}};

TEST(RecordWire, PeerReadsOurEncodingByteForByte) {
    ASSERT_FALSE(peerVectors().empty()) << "the msgpack peer did not run";
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
        {"addr_vector", wire::encodeRecord(std::vector<VideoEchoAddr>{kAddr, kAddr2})},
        {"argument_addr", std::string(argument.data(), argument.size())}};
    for (const auto& [name, bytes] : ours) {
        EXPECT_EQ(bytes, peerVectors().at("encode " + name)) << name;
    }
}

TEST(RecordWire, WeReadThePeersEncodingWithItsDefaultsAndSurplus) {
    ASSERT_FALSE(peerVectors().empty()) << "the msgpack peer did not run";
    const auto cardOnly = decoded<VideoEchoAddr>("addr_card_only");
    EXPECT_TRUE(sameAddr(cardOnly, VideoEchoAddr{kAddr.cardId, ""}));
    EXPECT_EQ(cardOnly.cardId.extra, "extra");
    const auto rect = decoded<RegionRect>("rect_mixed");
    EXPECT_EQ(std::vector<float>({rect.x, rect.y, rect.width, rect.height}),
              std::vector<float>({1.5F, -2.0F, 3.0F, 4.25F}));
    const auto region = decoded<SpliceRegion>("region_two");
    EXPECT_EQ(region.mediaId, 2U);
    EXPECT_EQ(region.rect.width, 0.0F);
    const auto card = decoded<STDisplayCardId>("card_bin_surplus");
    EXPECT_EQ(card.nodeId + card.deviceId + card.extra, "nodedevx");
    EXPECT_EQ(wire::encodeRecord(decoded<VideoEchoSpliceStrategy>("strategy")),
              wire::encodeRecord(kStrategy));
    const auto addrs = decoded<std::vector<VideoEchoAddr>>("addr_vector");
    ASSERT_EQ(addrs.size(), 2U);
    EXPECT_EQ(addrs[1].cardId.id, 300U);
    const std::string& empty = peerVectors().at("decode argument_empty");
    EXPECT_EQ(wire::decodeArgument<VideoEchoAddr>(empty.data(), empty.size()).url, "");
    const std::string& surplus = peerVectors().at("decode argument_surplus");
    EXPECT_EQ(wire::decodeArgument<VideoEchoAddr>(surplus.data(), surplus.size()).url, kAddr.url);
}

// Whatever the bytes, decoding ends in std::invalid_argument("unpack failed: Args not match!").
template <typename T>
bool refused(const std::string& payload) {
    try {
        wire::decodeRecord<T>(payload.data(), payload.size());
    } catch (const std::invalid_argument& error) {
        return std::string(error.what()) == "unpack failed: Args not match!";
    } catch (...) {
    }
    return false;
}

TEST(RecordWire, WrongTypesHugeLengthsTruncationAndNoiseGiveTheDecodingError) {
    ASSERT_FALSE(peerVectors().empty()) << "the msgpack peer did not run";
    EXPECT_TRUE(refused<SpliceRegion>(peerVectors().at("decode bad_region_negative_owner")));
    EXPECT_TRUE(refused<SpliceRegion>(peerVectors().at("decode bad_region_rect_string")));
    EXPECT_TRUE(refused<STDisplayCardId>(peerVectors().at("decode bad_card_id_type")));
    EXPECT_TRUE(refused<STDisplayCardId>(peerVectors().at("decode bad_card_not_array")));
    // Lengths that the payload cannot pay for are refused before anything is allocated.
    const std::string hugeArray("\xdd\xff\xff\xff\xff", 5);
    EXPECT_TRUE(refused<std::vector<VideoEchoSpliceStrategy>>(hugeArray));
    EXPECT_TRUE(refused<VideoEchoSpliceStrategy>(std::string("\x92\x90\xdd\xff\xff\xff\xff", 7)));
    EXPECT_TRUE(refused<STDisplayCardId>(std::string("\x91\xdb\xff\xff\xff\xf0", 6)));
    EXPECT_TRUE(refused<STDisplayCardId>(std::string("\x91\xc6\xff\xff\xff\xf0", 6)));
    EXPECT_TRUE(refused<STDisplayCardId>(std::string("\xdf\xff\xff\xff\xff", 5)));
    EXPECT_TRUE(refused<VideoEchoAddr>(std::string(100000, '\x91')));  // deep nesting
    EXPECT_TRUE(refused<VideoEchoAddr>(""));
    EXPECT_THROW(wire::decodeArgument<VideoEchoAddr>(nullptr, 4), std::invalid_argument);
    const std::string full = wire::encodeRecord(kAddr);
    for (size_t size = 1; size < full.size(); ++size) {
        EXPECT_TRUE(refused<VideoEchoAddr>(full.substr(0, size))) << size;
    }
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string payload(1 + random() % 40, '\0');
        for (auto& c : payload) {
            c = static_cast<char>(random());
        }
        payload[0] = static_cast<char>(0x90 | (random() % 4));  // past the first byte
        // Any other exception escapes and fails the test.
        try {
            wire::decodeRecord<std::vector<VideoEchoAddr>>(payload.data(), payload.size());
        } catch (const std::invalid_argument& error) {
            ASSERT_STREQ(error.what(), "unpack failed: Args not match!");
        }
        try {
            wire::decodeArgument<VideoEchoSpliceStrategy>(payload.data(), payload.size());
        } catch (const std::invalid_argument& error) {
            ASSERT_STREQ(error.what(), "unpack failed: Args not match!");
        }
    }
}

}  // namespace
}  // namespace tarn::mediadispatch
