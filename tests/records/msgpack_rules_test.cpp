// Writer rules of the record encoding that the peer vectors do not reach.
#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include <tarnmediadispatchvideoecho/echorecordsmsgpack.h>

namespace tarn::mediadispatch {
namespace {

std::string bytesOfRect(float x) {
    return wire::encodeRecord(RegionRect{x, 0, 0, 0}).substr(1, 5);
}

TEST(MsgpackRules, IntegralFloatsBecomeTheSmallestInteger) {
    EXPECT_EQ(bytesOfRect(2.0F).substr(0, 1), std::string("\x02", 1));
    EXPECT_EQ(bytesOfRect(-3.0F).substr(0, 1), std::string("\xfd", 1));
    EXPECT_EQ(bytesOfRect(1920.0F).substr(0, 3), std::string("\xcd\x07\x80", 3));
    EXPECT_EQ(bytesOfRect(-0.0F).substr(0, 1), std::string("\x00", 1));
}

TEST(MsgpackRules, NonIntegralAndNonFiniteFloatsStayFloat32) {
    for (float value : {0.5F, std::numeric_limits<float>::quiet_NaN(),
                        std::numeric_limits<float>::infinity(), 3.0e20F}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(static_cast<unsigned char>(bytesOfRect(value)[0]), 0xca);
    }
}

TEST(MsgpackRules, RandomStrategiesSurviveARoundTrip) {
    std::mt19937_64 random(42);
    std::uniform_real_distribution<float> coordinate(-5000.0F, 5000.0F);
    for (int round = 0; round < 200; ++round) {
        VideoEchoSpliceStrategy strategy;
        strategy.addr.cardId = {"node" + std::to_string(round), random(), "dev", "x"};
        strategy.addr.url = std::string(static_cast<size_t>(round), 'u');
        for (int i = 0; i < round % 7; ++i) {
            const float rounded = std::round(coordinate(random));
            strategy.regions.push_back({random(),
                                        random() >> (round % 64),
                                        {coordinate(random), rounded, coordinate(random), 0}});
        }
        const std::string bytes = wire::encodeRecord(strategy);
        const auto back = wire::decodeRecord<VideoEchoSpliceStrategy>(bytes.data(), bytes.size());
        ASSERT_EQ(back.addr.cardId.id, strategy.addr.cardId.id);
        ASSERT_EQ(back.addr.url, strategy.addr.url);
        ASSERT_EQ(back.regions.size(), strategy.regions.size());
        for (size_t i = 0; i < back.regions.size(); ++i) {
            EXPECT_EQ(back.regions[i].ownerId, strategy.regions[i].ownerId);
            EXPECT_EQ(back.regions[i].mediaId, strategy.regions[i].mediaId);
            EXPECT_EQ(back.regions[i].rect.x, strategy.regions[i].rect.x);
            EXPECT_EQ(back.regions[i].rect.y, strategy.regions[i].rect.y);
        }
        EXPECT_EQ(wire::encodeRecord(back), bytes);
    }
}

}  // namespace
}  // namespace tarn::mediadispatch
