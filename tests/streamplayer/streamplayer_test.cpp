// The stream player against URLs that give no picture: bad URLs fail with one log line, a
// refused connection is retried with one log line, and no call of the host's thread waits for a
// server that refuses or never answers. (Playing a live stream: tests/videoecho.)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <host/streammediaplayer.h>

#include "logcapture.h"

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

// A loopback TCP socket on a free port; listening, it accepts connections and never answers.
struct Socket {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    explicit Socket(bool listening) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        if (listening) {
            listen(fd, 16);
        }
    }
    ~Socket() { close(fd); }
    std::string url() const { return "rtsp://127.0.0.1:" + std::to_string(port) + "/test"; }
};

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
        const std::string url = Socket(false).url();  // closed again: connections are refused
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
        const Socket server(listening);
        auto stopped = std::make_unique<StreammediaPlayer>(nullptr, server.url(), nullptr);
        auto destroyed = std::make_unique<StreammediaPlayer>(nullptr, server.url(), nullptr);
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
