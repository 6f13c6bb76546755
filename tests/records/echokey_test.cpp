// The echo key, the card key and card identity.
#include <climits>

#include <gtest/gtest.h>

#include <echorecords/echorecords.h>

namespace tarn::mediadispatch {
namespace {

using vantor::EditingMode;

TEST(EchoKey, IsMediaIdThenModeWithoutSeparator) {
    EXPECT_EQ(echoKey(501, static_cast<EditingMode>(2)), "5012");
    EXPECT_EQ(echoKey(7, static_cast<EditingMode>(-1)), "7-1");
    EXPECT_EQ(echoKey(0, vantor::kEditingModeDefault), "04096");
}

TEST(EchoKey, DistinctPairsMayShareAKey) {
    EXPECT_EQ(echoKey(12, static_cast<EditingMode>(34)), "1234");
    EXPECT_EQ(echoKey(123, static_cast<EditingMode>(4)), "1234");
}

TEST(EchoKey, LongestKeyFitsItsBuffer) {
    const EchoKey key(UINT64_MAX, static_cast<EditingMode>(INT_MIN));
    EXPECT_EQ(key.view(), "18446744073709551615-2147483648");
}

TEST(CardIdentity, IsTheDeviceIdAloneByteForByte) {
    const STDisplayCardId a{"node-a", 1, "GPU-0", "x"};
    EXPECT_TRUE(vantor::mediadispatch::sameCard(a, {"node-b", 2, "GPU-0", "y"}));
    EXPECT_FALSE(vantor::mediadispatch::sameCard(a, {"node-a", 1, "gpu-0", "x"}));
    EXPECT_FALSE(vantor::mediadispatch::sameCard(a, {"node-a", 1, std::string("GPU-0\0", 6), "x"}));
}

TEST(CardIdentity, CardKeyIsNodeThenDevice) {
    EXPECT_EQ(vantor::mediadispatch::cardKey({"node-a", 1, "GPU-0", "x"}), "node-aGPU-0");
}

TEST(AddressIdentity, IsDeviceAndUrl) {
    const VideoEchoAddr a{{"n", 1, "GPU-0", ""}, "rtsp://x"};
    EXPECT_TRUE(sameAddr(a, {{"m", 2, "GPU-0", "e"}, "rtsp://x"}));
    EXPECT_FALSE(sameAddr(a, {{"n", 1, "GPU-0", ""}, "rtsp://y"}));
}

}  // namespace
}  // namespace tarn::mediadispatch
