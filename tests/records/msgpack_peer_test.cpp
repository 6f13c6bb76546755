// The record encoding checked against an implementation written elsewhere: Debian's python3-msgpack
// reads what we write byte for byte, and we read what it writes.
#include <unistd.h>
#include <cstdio>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tarnmediadispatchvideoecho/echorecordsmsgpack.h>

#include "peer.h"

namespace tarn::mediadispatch {
namespace {

using recordstest::emittedVectors;
using recordstest::toHex;
using testing::ElementsAre;

STDisplayCardId card() {
    return {"node-a", 7, "DEV-1", "extra"};
}
VideoEchoAddr addr() {
    return {card(), "rtsp://node-a/echo/DEV-1"};
}
VideoEchoAddr addr2() {
    return {{"node-b", 300, "dev-2", ""}, ""};
}
SpliceRegion region() {
    return {1, 300, {2.0F, 0.5F, 1920.0F, 1080.0F}};
}
SpliceRegion region2() {
    return {uint64_t{1} << 40, 0, {0.25F, -1.5F, 0.0F, 0.0F}};
}

void expectCard(const STDisplayCardId& got, const STDisplayCardId& want) {
    EXPECT_EQ(got.nodeId, want.nodeId);
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(got.deviceId, want.deviceId);
    EXPECT_EQ(got.extra, want.extra);
}

void expectRect(const RegionRect& got, const RegionRect& want) {
    EXPECT_FLOAT_EQ(got.x, want.x);
    EXPECT_FLOAT_EQ(got.y, want.y);
    EXPECT_FLOAT_EQ(got.width, want.width);
    EXPECT_FLOAT_EQ(got.height, want.height);
}

TEST(MsgpackPeer, PeerReadsOurEncodingByteForByte) {
    std::map<std::string, std::string> ours;
    ours["card"] = wire::encodeRecord(card());
    ours["card_big_id"] = wire::encodeRecord(STDisplayCardId{"n", UINT64_MAX, "d", ""});
    ours["addr"] = wire::encodeRecord(addr());
    ours["rect_integral"] = wire::encodeRecord(RegionRect{2.0F, 0.0F, 1920.0F, -3.0F});
    ours["rect_fraction"] = wire::encodeRecord(RegionRect{0.5F, 1.25F, 100.75F, -0.5F});
    ours["region"] = wire::encodeRecord(region());
    ours["strategy"] = wire::encodeRecord(VideoEchoSpliceStrategy{addr(), {region(), region2()}});
    ours["strategy_empty"] = wire::encodeRecord(VideoEchoSpliceStrategy{});
    ours["addr_vector"] = wire::encodeRecord(std::vector<VideoEchoAddr>{addr(), addr2()});
    const auto argument = wire::encodeArgument(addr());
    ours["argument_addr"] = std::string(argument.data(), argument.size());

    char path[] = "/tmp/records-peer-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    {
        std::ofstream out(path);
        for (const auto& [name, bytes] : ours) {
            out << name << ' ' << toHex(bytes) << '\n';
        }
    }
    int status = 0;
    const std::string report = recordstest::run(
        std::string(SYSTEM_PYTHON) + " " + MSGPACK_PEER_SCRIPT + " check " + path, status);
    std::remove(path);
    EXPECT_EQ(status, 0) << report;
}

class PeerVectors : public testing::Test {
protected:
    static void SetUpTestSuite() {
        vectors_ = new std::map<std::string, std::string>(emittedVectors());
    }
    static void TearDownTestSuite() {
        delete vectors_;
        vectors_ = nullptr;
    }
    template <typename T>
    static T record(const std::string& name) {
        const std::string& bytes = vectors_->at(name);
        return wire::decodeRecord<T>(bytes.data(), bytes.size());
    }
    template <typename T>
    static T argument(const std::string& name) {
        const std::string& bytes = vectors_->at(name);
        return wire::decodeArgument<T>(bytes.data(), bytes.size());
    }
    static std::map<std::string, std::string>* vectors_;
};

std::map<std::string, std::string>* PeerVectors::vectors_ = nullptr;

TEST_F(PeerVectors, AddressWithOnlyItsCardHasAnEmptyUrl) {
    const auto got = record<VideoEchoAddr>("addr_card_only");
    expectCard(got.cardId, card());
    EXPECT_EQ(got.url, "");
}

TEST_F(PeerVectors, RectAcceptsIntegersAndBothFloatWidths) {
    expectRect(record<RegionRect>("rect_ints"), {2, 3, 4, 5});
    expectRect(record<RegionRect>("rect_mixed"), {1.5F, -2.0F, 3.0F, 4.25F});
}

TEST_F(PeerVectors, TwoElementRegionKeepsAZeroRect) {
    const auto got = record<SpliceRegion>("region_two");
    EXPECT_EQ(got.ownerId, 1U);
    EXPECT_EQ(got.mediaId, 2U);
    expectRect(got.rect, {0, 0, 0, 0});
}

TEST_F(PeerVectors, StringsMayComeAsBinAndSurplusElementsAreIgnored) {
    expectCard(record<STDisplayCardId>("card_bin_strings"), {"node", 1, "dev", "x"});
    expectCard(record<STDisplayCardId>("card_surplus"), {"n", 1, "d", "e"});
}

TEST_F(PeerVectors, WrongTypesAreDecodingErrors) {
    for (const char* name : {"region_negative_owner", "card_wrong_id_type", "card_not_array"}) {
        SCOPED_TRACE(name);
        try {
            if (std::string(name) == "region_negative_owner") {
                record<SpliceRegion>(name);
            } else {
                record<STDisplayCardId>(name);
            }
            ADD_FAILURE() << "decoded without error";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
        }
    }
    EXPECT_THROW(record<RegionRect>("rect_string"), std::invalid_argument);
}

TEST_F(PeerVectors, StrategyAndVectorsDecodeInOrder) {
    const auto strategy = record<VideoEchoSpliceStrategy>("strategy");
    expectCard(strategy.addr.cardId, card());
    EXPECT_EQ(strategy.addr.url, addr().url);
    ASSERT_EQ(strategy.regions.size(), 2U);
    EXPECT_EQ(strategy.regions[0].mediaId, 300U);
    expectRect(strategy.regions[0].rect, region().rect);
    EXPECT_EQ(strategy.regions[1].ownerId, uint64_t{1} << 40);
    expectRect(strategy.regions[1].rect, region2().rect);

    const auto addrs = record<std::vector<VideoEchoAddr>>("addr_vector");
    ASSERT_EQ(addrs.size(), 2U);
    EXPECT_EQ(addrs[0].url, addr().url);
    expectCard(addrs[1].cardId, addr2().cardId);
}

TEST_F(PeerVectors, ArgumentPayloadTakesTheFirstElementOrDefaults) {
    const auto empty = argument<VideoEchoAddr>("argument_empty");
    EXPECT_EQ(empty.cardId.deviceId, "");
    EXPECT_EQ(empty.url, "");
    const auto first = argument<VideoEchoAddr>("argument_surplus");
    expectCard(first.cardId, card());
    EXPECT_EQ(first.url, addr().url);
    EXPECT_TRUE(argument<std::vector<VideoEchoSpliceStrategy>>("argument_empty").empty());
}

}  // namespace
}  // namespace tarn::mediadispatch
