// The GStreamer stream player against a server run by the test: pictures arrive at the served
// size and keep changing, bad URLs fail with one log line, and no call of the host's thread waits
// for a server that refuses or never answers.
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <host/streammediaplayer.h>

#include "logcapture.h"
#include "playertestsupport.h"
#include "testrtspserver.h"

namespace streamplayertest {
namespace {

using namespace std::chrono_literals;

// Far above a frame interval, so that a loaded machine does not fail the test, and well below the
// 3 s after which a connection to a silent server gives up, which a call that waited for the
// connection would take.
constexpr auto kQuickCall = 1000ms;

std::unique_ptr<StreammediaPlayer> playerFor(const std::string& url) {
    return std::make_unique<StreammediaPlayer>(nullptr, url, nullptr);
}

TEST(StreamPlayer, DecodesTheServedPictureAtItsSizeAndFollowsIt) {
    TestRtspServer server(320, 240);
    auto player = playerFor(server.url());
    ASSERT_TRUE(player->play(0.0, 0.0));
    ASSERT_TRUE(pictureArrives(*player, 320, 240, {}, 15s));

    qv::mediacore::IFrame* frame = player->getFrame(0.0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->format(), 0);  // planar 4:2:0, FFmpeg's code
    EXPECT_EQ(frame->getFps(), 30u);
    const auto record = frame->kframe();
    EXPECT_GE(record->linesize[0], 320);
    EXPECT_GE(record->linesize[1], 160);
    EXPECT_GE(record->linesize[2], 160);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(record->data[i], nullptr) << "plane " << i;
    }
    EXPECT_EQ(record->data[3], nullptr);
    // The test picture moves: a later picture differs from this one.
    EXPECT_TRUE(pictureArrives(*player, 320, 240, lumaOf(*frame), 5s));

    EXPECT_LT(timeOf([&] { player->stop(false); }), kQuickCall);
    EXPECT_EQ(player->getPlayState(), qv::mediacore::kPlayerStateStopped);
    EXPECT_EQ(player->getFrame(0.0), nullptr);
}

TEST(StreamPlayer, RefusesAUrlThatIsNotRtspWithOneLogLine) {
    for (const std::string url : {"http://127.0.0.1:8554/test", "not a url", "rtsp://", ""}) {
        testsupport::LogCapture log;
        auto player = playerFor(url);
        for (int i = 0; i < 5; ++i) {
            EXPECT_FALSE(player->play(0.0, 0.0)) << url;
            EXPECT_EQ(player->getFrame(0.0), nullptr) << url;
        }
        EXPECT_EQ(log.startingWith("stream player refuses " + url + ": not an RTSP URL").size(), 1u)
            << url;
    }
}

TEST(StreamPlayer, RetriesARefusedConnectionWithOneLogLine) {
    testsupport::LogCapture log;
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(closedPort()) + "/test";
    auto player = playerFor(url);
    ASSERT_TRUE(player->play(0.0, 0.0));
    ASSERT_TRUE(
        eventually([&] { return !log.startingWith("stream player cannot play").empty(); }, 10s));
    // Several more attempts at the back-off's first delays, none of them logged again.
    const auto until = Clock::now() + 1500ms;
    while (Clock::now() < until) {
        EXPECT_LT(timeOf([&] { EXPECT_EQ(player->getFrame(0.0), nullptr); }), kQuickCall);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(log.startingWith("stream player cannot play " + url + ": ").size(), 1u);
}

TEST(StreamPlayer, NoCallWaitsForADeadOrSilentServer) {
    SilentListener silent;
    const std::string urls[] = {
        "rtsp://127.0.0.1:" + std::to_string(silent.port()) + "/test",
        "rtsp://127.0.0.1:" + std::to_string(closedPort()) + "/test",
    };
    for (const auto& url : urls) {
        auto stopped = playerFor(url);
        auto destroyed = playerFor(url);
        EXPECT_LT(timeOf([&] { stopped->play(0.0, 0.0); }), kQuickCall) << url;
        EXPECT_LT(timeOf([&] { destroyed->play(0.0, 0.0); }), kQuickCall) << url;
        // Give both players time to be in the middle of connecting.
        for (int i = 0; i < 30; ++i) {
            EXPECT_LT(timeOf([&] { EXPECT_EQ(stopped->getFrame(0.0), nullptr); }), kQuickCall);
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_LT(timeOf([&] { stopped->stop(false); }), kQuickCall) << url;
        EXPECT_LT(timeOf([&] { destroyed.reset(); }), kQuickCall) << url;
        EXPECT_LT(timeOf([&] { stopped.reset(); }), kQuickCall) << url;
    }
}

}  // namespace
}  // namespace streamplayertest
