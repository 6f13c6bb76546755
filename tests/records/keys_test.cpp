// The echo key, card and address identity, and the logging convention the records' users share.
#include <climits>

#include <gtest/gtest.h>

#include <echorecords/echorecords.h>
#include <host/log.h>
#include <logcapture.h>

namespace tarn::mediadispatch {
namespace {

using vantor::EditingMode;
using vantor::mediadispatch::cardKey;
using vantor::mediadispatch::sameCard;

TEST(RecordKeys, EchoKeyIsMediaIdThenSignedModeWithoutSeparator) {
    EXPECT_EQ(echoKey(501, static_cast<EditingMode>(2)), "5012");
    EXPECT_EQ(echoKey(7, static_cast<EditingMode>(-1)), "7-1");
    EXPECT_EQ(echoKey(0, vantor::kEditingModeDefault), "04096");
    EXPECT_EQ(echoKey(123, static_cast<EditingMode>(4)), echoKey(12, static_cast<EditingMode>(34)));
    EXPECT_EQ(EchoKey(UINT64_MAX, static_cast<EditingMode>(INT_MIN)).view(),
              "18446744073709551615-2147483648");
}

TEST(RecordKeys, CardIsItsDeviceIdByteForByteAndAnAddressAddsItsUrl) {
    const STDisplayCardId a{"node-a", 1, "GPU-0", "x"};
    EXPECT_TRUE(sameCard(a, {"node-b", 2, "GPU-0", "y"}));
    EXPECT_FALSE(sameCard(a, {"node-a", 1, "gpu-0", "x"}));
    EXPECT_FALSE(sameCard(a, {"node-a", 1, std::string("GPU-0\0", 6), "x"}));
    EXPECT_EQ(cardKey(a), "node-aGPU-0");
    EXPECT_TRUE(sameAddr({a, "rtsp://x"}, {{"m", 2, "GPU-0", "e"}, "rtsp://x"}));
    EXPECT_FALSE(sameAddr({a, "rtsp://x"}, {a, "rtsp://y"}));
}

TEST(Logging, MessageGetsTheLocationSuffixAtItsLevel) {
    testsupport::LogCapture capture;
    const int first = __LINE__ + 1;
    TARN_LOG_WARN("device {}, split stratery update failed!", "GPU-0");
    TARN_LOG_INFO("no {} placeholders here");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0].level, spdlog::level::warn);
    EXPECT_EQ(lines[0].text,
              "device GPU-0, split stratery update failed! \n //keys_test.cpp:"
              "TestBody()#" +
                  std::to_string(first) + ".");
    EXPECT_EQ(lines[1].level, spdlog::level::info);
    EXPECT_EQ(lines[1].text, "no {} placeholders here \n //keys_test.cpp:TestBody()#" +
                                 std::to_string(first + 1) + ".");
}

}  // namespace
}  // namespace tarn::mediadispatch
