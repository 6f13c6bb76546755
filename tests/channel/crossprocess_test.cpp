// Writer and reader in different processes, meeting only by the channel name.
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using channeltest::TestFrame;
using tarn::mediadispatch::SharedMemoryIPCServer;
using vantor::mediadispatch::ChannelReadStatus;
using vantor::mediadispatch::SharedMemoryPlayer;

constexpr int kSide = 640;
constexpr size_t kWords = size_t{kSide} * kSide * 4 / sizeof(uint64_t);

volatile std::sig_atomic_t stopWriting = 0;

// Writes 640 x 640 rgba frames whose every 64-bit word is the frame's number (from 1) at `hz`
// on an absolute schedule until SIGTERM; prints how many it sent.
int writePaced(const std::string& name, int hz) {
    std::signal(SIGTERM, [](int) { stopWriting = 1; });
    std::vector<uint64_t> words(kWords);
    qv::mediacore::IFrame frame;
    frame.setWidth(kSide);
    frame.setHeight(kSide);
    frame.setFormat(26);
    frame.kframe()->linesize[0] = kSide * 4;
    frame.kframe()->data[0] = reinterpret_cast<uint8_t*>(words.data());
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    const auto start = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    while (stopWriting == 0) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(sent * 1000000 / hz));
        std::fill(words.begin(), words.end(), ++sent);
        writer.updateFrame(&frame, 0);
    }
    writer.stop();
    std::printf("sent %llu\n", static_cast<unsigned long long>(sent));
    return 0;
}

// The stamp of a frame that the reader got, or 0 when any word differs from the first.
uint64_t stampOf(const qv::mediacore::IFrame& got) {
    if (got.getWidth() != kSide || got.getHeight() != kSide ||
        got.kframe()->linesize[0] != kSide * 4 || got.kframe()->data[0] == nullptr) {
        return 0;
    }
    const auto* words = reinterpret_cast<const uint64_t*>(got.kframe()->data[0]);
    return std::all_of(words, words + kWords, [&](uint64_t w) { return w == words[0]; }) ? words[0]
                                                                                         : 0;
}

// Coverage is printed, not asserted: a reader that the scheduler keeps off the processor for
// longer than a frame misses frames on a loaded machine, which is no fault of the channel. A torn
// frame is a fault whatever the load.
TEST(CrossProcess, APacedWriterDeliversNoTornFrameToAReaderReadingFlatOut) {
    for (const int hz : {1000, 60}) {
        const std::string name = channeltest::freshName("tearfree");
        testsupport::LogCapture log;
        testsupport::ChildProcess writer([&] {
            RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::off);
            return writePaced(name, hz);
        });
        SharedMemoryPlayer player(nullptr, name);
        player.play(0, 0);
        testing::internal::CaptureStderr();
        uint64_t reads = 0;
        uint64_t torn = 0;
        std::set<uint64_t> seen;
        const auto start = std::chrono::steady_clock::now();
        for (; reads < 100000 || std::chrono::steady_clock::now() - start < std::chrono::seconds(2);
             ++reads) {
            const qv::mediacore::IFrame* frame = player.getFrame(0);
            if (frame != nullptr && player.lastRead().status == ChannelReadStatus::newFrame) {
                const uint64_t stamp = stampOf(*frame);
                torn += stamp == 0 || stamp != player.lastRead().sequence ? 1 : 0;
                seen.insert(stamp);
            }
        }
        testing::internal::GetCapturedStderr();
        writer.signal(SIGTERM);
        unsigned long long sent = 0;
        EXPECT_EQ(std::sscanf(writer.waitFor("sent ").c_str(), "sent %llu", &sent), 1);
        EXPECT_EQ(writer.wait(), 0);
        std::printf("[ info ] %d Hz: %llu reads, %llu frames sent, %zu seen, %llu torn\n", hz,
                    static_cast<unsigned long long>(reads), sent, seen.size(),
                    static_cast<unsigned long long>(torn));
        EXPECT_EQ(torn, 0u);
        EXPECT_GT(seen.size(), 1u);
        channeltest::expectGone(name);
    }
}

TEST(CrossProcess, AReaderNeverServesAKilledWritersFrameAndFollowsTheNextWriter) {
    const std::string name = channeltest::freshName("follow");
    testsupport::LogCapture log;
    SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    const TestFrame first(640, 640, {2560}, 5);
    auto writer = channeltest::holder([&] {
        static auto* kept = new SharedMemoryIPCServer(name);
        kept->play(0, 0);
        kept->updateFrame(first.get(), 0);
        return kept->acquisitionProblem().empty();
    });
    EXPECT_TRUE(first.sameAs(player.getFrame(0)));
    writer.reset();  // SIGKILL
    testing::internal::CaptureStderr();
    EXPECT_EQ(player.getFrame(0), nullptr) << "the writer is dead";
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(channeltest::existsInDevShm(name + ".guard")) << "a reader reclaims nothing";
    {
        SharedMemoryIPCServer next(name);
        next.play(0, 0);
        const TestFrame second(8, 8, {32}, 6);
        next.updateFrame(second.get(), 0);
        EXPECT_TRUE(next.acquisitionProblem().empty()) << "the dead writer's channel is taken over";
        EXPECT_TRUE(second.sameAs(player.getFrame(0)));
        next.stop();
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(player.getFrame(0), nullptr) << "writer stopped";
    testing::internal::GetCapturedStderr();
    channeltest::expectGone(name);
}

}  // namespace
