// A served card as clients nobody here wrote see it: FFmpeg's ffprobe and ffmpeg over RTSP/TCP.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>

#include "servedcard.h"
#include "streamclient.h"

namespace videoechotest {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr float kFps = 30;
constexpr size_t kFrameBytes = kWidth * kHeight * 3 / 2;  // I420

struct Decoded {
    ProgramResult run;
    std::vector<uint32_t> stamps;
};

Decoded decode(const std::string& url, double seconds) {
    Decoded decoded{decodeI420(url, seconds), {}};
    const size_t frames = frameCount(decoded.run.out, kWidth, kHeight);
    for (size_t i = 0; i < frames; ++i) {
        decoded.stamps.push_back(StampedSource::readStamp(
            reinterpret_cast<const uint8_t*>(decoded.run.out.data()) + i * kFrameBytes, kWidth,
            kHeight));
    }
    return decoded;
}

void expectSteadyStampedStream(const Decoded& decoded, double seconds, uint64_t newest) {
    EXPECT_EQ(decoded.run.exitCode, 0);
    EXPECT_EQ(decoded.run.err, "") << "decoder or muxer reported errors";
    ASSERT_GE(decoded.stamps.size(), static_cast<size_t>(0.9 * seconds * kFps));
    size_t backwards = 0;
    size_t unique = 1;
    for (size_t i = 1; i < decoded.stamps.size(); ++i) {
        backwards += decoded.stamps[i] < decoded.stamps[i - 1] ? 1 : 0;
        unique += decoded.stamps[i] != decoded.stamps[i - 1] ? 1 : 0;
    }
    EXPECT_EQ(backwards, 0U) << "stamps out of order";
    EXPECT_GE(unique, decoded.stamps.size() / 2) << "mostly repeated pictures";
    EXPECT_LE(decoded.stamps.back(), newest) << "a stamp the source never drew";
}

TEST_F(ServedCard, FfprobeSeesH264AtTheConfiguredSizeAndRate) {
    StampedSource source(kWidth, kHeight, 25);
    source.add(7, 100);
    auto card = makeCard("GPU-0", kWidth, kHeight, 25, source);
    card->addSplicingSource(1, 7);

    ProbedStream stream;
    const auto run = probe(card->getUrl(), stream);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(stream.codec, "h264");
    EXPECT_EQ(stream.width, kWidth);
    EXPECT_EQ(stream.height, kHeight);
    EXPECT_NEAR(stream.frameRate, 25.0, 0.5);
}

TEST_F(ServedCard, TwoClientsDecodeTheSourceStampsInOrder) {
    StampedSource source(kWidth, kHeight, kFps);
    source.add(7, 100);
    auto card = makeCard("GPU-0", kWidth, kHeight, kFps, source);
    card->addSplicingSource(1, 7);
    const std::string url = card->getUrl();

    auto first = std::async(std::launch::async, [&] { return decode(url, 5); });
    std::this_thread::sleep_for(1500ms);
    auto second = std::async(std::launch::async, [&] { return decode(url, 5); });
    const Decoded a = first.get();
    const Decoded b = second.get();
    const uint64_t made = source.newestStamp();

    expectSteadyStampedStream(a, 5, made);
    expectSteadyStampedStream(b, 5, made);
    // The joining client started later in the same shared stream.
    ASSERT_FALSE(a.stamps.empty());
    ASSERT_FALSE(b.stamps.empty());
    EXPECT_GT(b.stamps.front(), a.stamps.front());
}

TEST_F(ServedCard, ARegionTurnsBlackWhenItsSourceGoesAway) {
    StampedSource source(kWidth, kHeight, kFps);
    source.add(1, 60);
    source.add(2, 200);
    auto card = makeCard("GPU-0", kWidth, kHeight, kFps, source);
    tarn::mediadispatch::VideoEchoSpliceStrategy strategy{
        card->getAddr(), {{1, 1, {0, 0, 0.5f, 1}}, {1, 2, {0.5f, 0, 0.5f, 1}}}};
    card->synchronizeSpliceStrategy(strategy);

    auto client = std::async(std::launch::async, [&] { return decode(card->getUrl(), 3); });
    // About a second into the stream (the server asks four times per frame while it is watched).
    for (int waited = 0; source.asked(2) < 4 * kFps && waited < 30000; waited += 10) {
        std::this_thread::sleep_for(10ms);
    }
    source.remove(2);
    const Decoded decoded = client.get();
    ASSERT_EQ(decoded.run.exitCode, 0) << decoded.run.err;
    const size_t frames = frameCount(decoded.run.out, kWidth, kHeight);
    ASSERT_GE(frames, 10U);

    // Below the stamp rows: left grey 60, right grey 200 at first, black (16) at the end.
    const auto luma = [&](size_t frame, int x, int y) {
        return static_cast<int>(static_cast<uint8_t>(
            decoded.run.out[frame * kFrameBytes + static_cast<size_t>(y * kWidth + x)]));
    };
    const int y = kHeight * 3 / 4;
    EXPECT_NEAR(luma(2, kWidth / 4, y), 60, 12);
    EXPECT_NEAR(luma(2, kWidth * 3 / 4, y), 200, 12);
    EXPECT_NEAR(luma(frames - 1, kWidth / 4, y), 60, 12);
    EXPECT_NEAR(luma(frames - 1, kWidth * 3 / 4, y), 16, 12);
}

TEST_F(ServedCard, ResolutionChangesWhileAClientWatches) {
    StampedSource source(kWidth, kHeight, kFps);
    source.add(7, 100);
    auto card = makeCard("GPU-0", kWidth, kHeight, kFps, source);
    card->addSplicingSource(1, 7);

    auto client = std::async(std::launch::async, [&] { return decodeI420(card->getUrl(), 4); });
    std::this_thread::sleep_for(1500ms);
    card->setVideoEchoResolution(640, 480);
    const ProgramResult watched = client.get();
    EXPECT_EQ(watched.exitCode, 0) << watched.err;
    // The client keeps its first size (ffmpeg scales); it kept receiving pictures throughout.
    EXPECT_GE(frameCount(watched.out, kWidth, kHeight), static_cast<size_t>(0.9 * 4 * kFps));

    ProbedStream stream;
    ASSERT_EQ(probe(card->getUrl(), stream).exitCode, 0);
    EXPECT_EQ(stream.width, 640);
    EXPECT_EQ(stream.height, 480);
}

}  // namespace
}  // namespace videoechotest
