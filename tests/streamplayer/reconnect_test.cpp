// The same stream player object across a server that goes away and comes back, at the same size
// and at another one. Slow: each case waits for an outage to be noticed and for the back-off.
#include <chrono>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include <host/streammediaplayer.h>

#include "logcapture.h"
#include "playertestsupport.h"
#include "testrtspserver.h"

namespace streamplayertest {
namespace {

using namespace std::chrono_literals;

struct Restart {
    const char* name;
    int width, height;        // before
    int newWidth, newHeight;  // after
};

TEST(StreamPlayerReconnect, ResumesWhenTheServerComesBack) {
    for (const Restart& restart :
         {Restart{"same size", 320, 240, 320, 240}, Restart{"new size", 320, 240, 480, 272}}) {
        SCOPED_TRACE(restart.name);
        testsupport::LogCapture log;
        std::optional<TestRtspServer> server;
        server.emplace(restart.width, restart.height);
        const int port = server->port();
        StreammediaPlayer player(nullptr, server->url(), nullptr);
        ASSERT_TRUE(player.play(0.0, 0.0));
        ASSERT_TRUE(pictureArrives(player, restart.width, restart.height, {}, 15s));

        server.reset();
        ASSERT_TRUE(eventually(
            [&] { return !log.startingWith("stream player cannot play").empty(); }, 15s));
        // The last picture stays on show through the outage.
        qv::mediacore::IFrame* last = player.getFrame(0.0);
        ASSERT_NE(last, nullptr);
        const auto before = lumaOf(*last);

        server.emplace(restart.newWidth, restart.newHeight, port);
        const auto back = Clock::now();
        EXPECT_TRUE(pictureArrives(player, restart.newWidth, restart.newHeight, before, 20s));
        std::printf("[ reconnect ] %s: picture %lld ms after the server came back\n", restart.name,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back)
                            .count()));
        // The worker notes a connection's first picture just after handing it over.
        EXPECT_TRUE(
            eventually([&] { return log.startingWith("stream player playing").size() == 2u; }, 5s));
        EXPECT_EQ(log.startingWith("stream player cannot play").size(), 1u);
        player.stop(false);
    }
}

TEST(StreamPlayerReconnect, FollowsASizeChangeWithinTheStream) {
    testsupport::LogCapture log;
    TestRtspServer server(320, 240);
    StreammediaPlayer player(nullptr, server.url(), nullptr);
    ASSERT_TRUE(player.play(0.0, 0.0));
    ASSERT_TRUE(pictureArrives(player, 320, 240, {}, 15s));
    ASSERT_TRUE(server.resize(480, 272));
    EXPECT_TRUE(pictureArrives(player, 480, 272, {}, 15s));
    // The same connection carried on: nothing failed on the way.
    EXPECT_TRUE(log.startingWith("stream player cannot play").empty());
    EXPECT_EQ(log.startingWith("stream player playing").size(), 1u);
    player.stop(false);
}

}  // namespace
}  // namespace streamplayertest
