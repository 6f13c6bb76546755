// The stream player against URLs that give no picture: bad URLs fail with one log line, a
// refused connection is retried with one log line, and no call of the host's thread waits for a
// server that refuses or never answers. (Playing a live stream: tests/videoecho.)
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <host/streammediaplayer.h>

#include "logcapture.h"
#include "loopbacksocket.h"

namespace streamplayertest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qv::streammediaplayercore::StreammediaPlayer;

// Far above a frame interval, so that a loaded machine does not fail the test, and well below the
// 3 s after which a connection to a silent server gives up, which a call that waited for the
// connection would take.
constexpr auto kQuickCall = 1000ms;

Clock::duration timeOf(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return Clock::now() - start;
}

TEST(StreamPlayer, RefusesAUrlThatIsNotRtspWithOneLogLine) {
    for (const std::string url : {"http://127.0.0.1:8554/test", "not a url", "rtsp://", ""}) {
        testsupport::LogCapture log;
        StreammediaPlayer player(nullptr, url, nullptr);
        for (int i = 0; i < 5; ++i) {
            EXPECT_FALSE(player.play(0.0, 0.0)) << url;
            EXPECT_EQ(player.getFrame(0.0), nullptr) << url;
        }
        EXPECT_EQ(log.startingWith("stream player refuses " + url + ": not an RTSP URL").size(), 1u)
            << url;
    }
}

// The refused connection first: besides its own checks, it pays the process's one-time costs
// (starting GStreamer, loading its plugins), which a loaded machine stretches past any bound and
// which would otherwise fall into the timed calls after it.
TEST(StreamPlayer, RetriesARefusedConnectionWithOneLogLineAndNoCallWaitsForADeadOrSilentServer) {
    {
        testsupport::LogCapture log;
        const std::string url =
            testsupport::LoopbackSocket(false).rtspUrl();  // closed again: connections are refused
        StreammediaPlayer player(nullptr, url, nullptr);
        ASSERT_TRUE(player.play(0.0, 0.0));
        // Attempts at the back-off's first delays for a few seconds, only the first one logged.
        const auto until = Clock::now() + 4s;
        while (Clock::now() < until) {
            EXPECT_LT(timeOf([&] { EXPECT_EQ(player.getFrame(0.0), nullptr); }), kQuickCall);
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(log.startingWith("stream player cannot play " + url + ": ").size(), 1u);
    }
    for (const bool listening : {true, false}) {
        const testsupport::LoopbackSocket server(listening);
        auto stopped = std::make_unique<StreammediaPlayer>(nullptr, server.rtspUrl(), nullptr);
        auto destroyed = std::make_unique<StreammediaPlayer>(nullptr, server.rtspUrl(), nullptr);
        EXPECT_LT(timeOf([&] { stopped->play(0.0, 0.0); }), kQuickCall) << listening;
        EXPECT_LT(timeOf([&] { destroyed->play(0.0, 0.0); }), kQuickCall) << listening;
        // Give both players time to be in the middle of connecting.
        for (int i = 0; i < 30; ++i) {
            EXPECT_LT(timeOf([&] { EXPECT_EQ(stopped->getFrame(0.0), nullptr); }), kQuickCall);
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_LT(timeOf([&] { stopped->stop(false); }), kQuickCall) << listening;
        EXPECT_LT(timeOf([&] { destroyed.reset(); }), kQuickCall) << listening;
        EXPECT_LT(timeOf([&] { stopped.reset(); }), kQuickCall) << listening;
    }
}

}  // namespace
}  // namespace streamplayertest
