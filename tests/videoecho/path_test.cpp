// The whole echo path: a served card played by the host's stream player in this process and by
// `videoecho play`, the frame number and send time read back from the blocks of every picture at
// getFrame. Slow: it watches a live stream for seconds.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

#include <host/streammediaplayer.h>

#include "blockstamp.h"
#include "childprocess.h"
#include "logcapture.h"
#include "servedcard.h"

namespace videoechotest {
namespace {

using namespace std::chrono_literals;
using qv::streammediaplayercore::StreammediaPlayer;
using videoecho::Region;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr float kFps = 30;

// What a player showed at getFrame, polled as a host's player thread would.
struct Watched {
    std::vector<uint32_t> frames;  // stamps read in `region`, each the first time it was seen
    int64_t firstPictureNs = -1;   // since the start of watching
    int width = 0;                 // of the last picture
    bool blackCentre = false;      // the region's centre was black in the last picture
};

Watched watch(StreammediaPlayer& player, std::chrono::milliseconds duration,
              const Region& region = {0, 0, kWidth, kHeight}) {
    Watched w;
    const int64_t start = videoecho::monotonicNs();
    while (videoecho::monotonicNs() - start < duration.count() * 1000000) {
        std::this_thread::sleep_for(2ms);
        qv::mediacore::IFrame* frame = player.getFrame(0.0);
        if (frame == nullptr) {
            continue;
        }
        const videoecho::FrameView view = videoecho::viewOf(*frame);
        if (w.firstPictureNs < 0) {
            w.firstPictureNs = videoecho::monotonicNs() - start;
        }
        w.width = view.width;
        const int x = region.x + region.width / 2;
        const int y = region.y + region.height / 4;
        w.blackCentre = view.width == kWidth && view.data[0][y * view.lineSizes[0] + x] < 32;
        const auto stamp = readBlockStamp(view, region);
        if (stamp && (w.frames.empty() || w.frames.back() != stamp->frame)) {
            w.frames.push_back(stamp->frame);
        }
    }
    return w;
}

// Frames arrived in order, and most frames drawn between the first and the last seen. The bound
// leaves room for a watcher that a busy machine does not schedule within a frame interval (the
// delivered share itself is measured by echopath_bench).
void expectSteady(const Watched& w, const std::string& who) {
    ASSERT_GE(w.frames.size(), 30U) << who;
    EXPECT_TRUE(std::is_sorted(w.frames.begin(), w.frames.end())) << who;
    const double span = w.frames.back() - w.frames.front() + 1;
    EXPECT_GE(static_cast<double>(w.frames.size()) / span, 0.75) << who;
}

// Two sources, each scaled into its own region of the card: a player watches one region, a second
// player joins later and watches the other, and that region turns black when its source goes. Then
// the first player follows a new size on the live stream and a server that goes and comes back.
TEST_F(ServedCard, PlayersGetEveryFrameOfTheirRegionAJoiningOneAKeyFrameAndFollowSizeAndRestart) {
    testsupport::LogCapture log;
    PatternSource source(kWidth, kHeight, kFps);
    auto card = makeCard("GPU-0", kWidth, kHeight, kFps, source);
    const std::string url = card->getUrl();
    source.add(8);
    card->synchronizeSpliceStrategy(tarn::mediadispatch::VideoEchoSpliceStrategy{
        card->getAddr(), {{1, 7, {0, 0, 0.5f, 1}}, {1, 8, {0.5f, 0.5f, 0.5f, 0.5f}}}});
    const Region corner{kWidth / 2, kHeight / 2, kWidth / 2, kHeight / 2};
    StreammediaPlayer first(nullptr, url, nullptr);
    StreammediaPlayer second(nullptr, url, nullptr);
    first.play(0.0, 0.0);
    Watched a;
    std::thread watcher([&] { a = watch(first, 5s, {0, 0, kWidth / 2, kHeight}); });
    std::this_thread::sleep_for(2s);
    second.play(0.0, 0.0);
    const Watched b = watch(second, 3s, corner);
    watcher.join();
    expectSteady(a, "first, left half");
    expectSteady(b, "second, bottom-right quarter");
    // One encode is shared: the joining player's first frame was one the first one saw too.
    EXPECT_GT(b.frames.front(), a.frames.front());
    EXPECT_LT(b.firstPictureNs, 2'000'000'000) << "no key frame for the joining client";
    source.remove(8);
    std::this_thread::sleep_for(500ms);
    const Watched gone = watch(second, 1s, corner);
    EXPECT_TRUE(gone.frames.empty());
    EXPECT_TRUE(gone.blackCentre);
    // The host's frame record: planar 4:2:0 (FFmpeg's code 0); nothing once stopped.
    qv::mediacore::IFrame* frame = second.getFrame(0.0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->format(), 0);
    second.stop(false);
    EXPECT_EQ(second.getFrame(0.0), nullptr);

    // A new size on the live stream: the same connection carries on.
    card->setVideoEchoResolution(480, 270);
    EXPECT_EQ(watch(first, 3s).width, 480);
    EXPECT_TRUE(log.startingWith("stream player cannot play").empty());
    EXPECT_EQ(log.startingWith("stream player playing").size(), 2U);
    // The server goes away and comes back on its port: one failure line, then pictures again.
    const int port = std::stoi(url.substr(url.find(':', 7) + 1));
    card.reset();
    VideoEcho::stopVideoEchoServer();
    handle_ = 0;
    std::this_thread::sleep_for(2s);
    start(port);
    card = makeCard("GPU-0", kWidth, kHeight, kFps, source);
    ASSERT_EQ(card->getUrl(), url);
    // Meanwhile `videoecho play` is a client of its own, writing the last picture it shows.
    const std::string png = "/tmp/videoecho-play-" + std::to_string(getpid()) + ".png";
    testsupport::ChildProcess play(VIDEOECHO_PROGRAM,
                                   {"play", url, "--seconds", "3", "--snapshot", png},
                                   {{"LSAN_OPTIONS", "suppressions=" LSAN_SUPPRESSIONS}});
    expectSteady(watch(first, 6s), "after the restart");
    const auto played = play.finish(30s);
    EXPECT_EQ(played.exitCode, 0) << played.err;
    EXPECT_TRUE(
        std::regex_search(played.out, std::regex("640x360 yuv420p[\\s\\S]*latency at getFrame: p50 "
                                                 "[0-9.]+ ms[\\s\\S]*frames: [1-9][0-9]+ unique")))
        << played.out;
    EXPECT_EQ(std::remove(png.c_str()), 0) << "no picture written";
    EXPECT_EQ(log.startingWith("stream player cannot play " + url).size(), 1U);
    EXPECT_EQ(log.startingWith("stream player playing").size(), 3U);
}

}  // namespace
}  // namespace videoechotest
