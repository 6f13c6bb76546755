// The echo server stand-in: what the manager relies on.
#include <gtest/gtest.h>

#include <host/videoecho.h>

namespace tarn::mediadispatch {
namespace {

VideoEchoAddr cardAddr() {
    return {{"node-a", 3, "GPU-0", ""}, ""};
}

TEST(VideoEcho, GeneratedAddressEqualsTheUrlOfAnUnchangedCard) {
    VideoEcho echo(cardAddr(), "video1", nullptr, 1, true);
    EXPECT_EQ(echo.generateRtspAddr("node-a"), echo.getUrl());
    EXPECT_NE(echo.generateRtspAddr("node-b"), echo.getUrl());
    EXPECT_TRUE(echo.createRecordVideo());
    EXPECT_EQ(echo.getAddr().url, echo.generateRtspAddr("node-a"));
    EXPECT_EQ(echo.displayCardId().deviceId, "GPU-0");
}

TEST(VideoEcho, RemoteAddressKeepsItsOwnUrl) {
    VideoEchoAddr remote = cardAddr();
    remote.url = "rtsp://elsewhere/echo";
    VideoEcho echo(remote, "", nullptr, 0, false);
    EXPECT_EQ(echo.getAddr().url, "rtsp://elsewhere/echo");
    EXPECT_FALSE(echo.createRecordVideo());
}

TEST(VideoEcho, StrategySignalFiresOnlyWhenTheRegionsChange) {
    VideoEcho echo(cardAddr(), "video1", nullptr, 1, true);
    std::vector<VideoEchoSpliceStrategy> seen;
    echo.spliceStrategyChanged.connect(
        [&](const VideoEchoSpliceStrategy& s) { seen.push_back(s); });

    echo.updateSpliceStrategy(1, 42, vantor::kEditingModeLive, true);
    echo.updateSpliceStrategy(1, 42, vantor::kEditingModeLive, true);
    ASSERT_EQ(seen.size(), 1U);
    ASSERT_EQ(seen[0].regions.size(), 1U);
    EXPECT_EQ(seen[0].regions[0].mediaId, 42U);
    EXPECT_EQ(seen[0].addr.cardId.deviceId, "GPU-0");
    EXPECT_FALSE(echo.isEmptyOnSpliceSource(vantor::kEditingModeLive));

    VideoEchoSpliceStrategy strategy{cardAddr(), {{1, 7, {0, 0, 10, 10}}, {1, 8, {10, 0, 10, 10}}}};
    echo.synchronizeSpliceStrategy(strategy);
    echo.synchronizeSpliceStrategy(strategy);
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(echo.getSpliceStrategy().regions.size(), 2U);

    echo.updateSpliceStrategy(1, 7, vantor::kEditingModeLive, false);
    echo.updateSpliceStrategy(1, 8, vantor::kEditingModeLive, false);
    EXPECT_EQ(seen.size(), 4U);
    EXPECT_TRUE(echo.isEmptyOnSpliceSource(vantor::kEditingModeLive));
}

TEST(VideoEcho, KeepsItsConfigurationAndCallbacks) {
    int sentinel = 0;
    VideoEcho echo(cardAddr(), "video2", &sentinel, 5, true);
    echo.setVideoEchoResolution(1280, 720);
    echo.setVideoEchoFPS(25);
    echo.setVideoEchoBitRate(1000);
    echo.setVideoEchoTransmissionMode(true);
    int regionsCalls = 0;
    echo.setSplicingRegionsCallBack([&](uint64_t, const std::vector<vantor::SplicingSource>& s) {
        regionsCalls += static_cast<int>(s.size());
    });
    const auto settings = echo.settings();
    EXPECT_EQ(settings.name, "video2");
    EXPECT_EQ(settings.device, &sentinel);
    EXPECT_EQ(settings.serverHandle, 5);
    EXPECT_EQ(settings.width, 1280);
    EXPECT_EQ(settings.height, 720);
    EXPECT_EQ(settings.fps, 25);
    EXPECT_EQ(settings.bitRate, 1000);
    EXPECT_TRUE(settings.transmissionMode);
    EXPECT_TRUE(settings.hasSplicingRegionsCallBack);
    echo.addSplicingSource(1, 9);
    EXPECT_EQ(regionsCalls, 1);
}

TEST(VideoEcho, ServerMachineryStartsWithAHandleAndStopsOnce) {
    const int handle = VideoEcho::startVideoEchoServer();
    EXPECT_GT(handle, 0);
    EXPECT_TRUE(VideoEcho::stopVideoEchoServer());
    EXPECT_FALSE(VideoEcho::stopVideoEchoServer());
}

}  // namespace
}  // namespace tarn::mediadispatch
