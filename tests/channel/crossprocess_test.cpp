// Writers and readers in different processes, meeting only by the channel name: frames are never
// torn, a dead writer's channel is reclaimed by later writers, a second live writer of a name is
// refused, and another process's locks make nobody wait.
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using channeltest::existsInDevShm;
using channeltest::holder;
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
    TestFrame frame(kSide, kSide, {kSide * 4}, 0);
    auto* words = reinterpret_cast<uint64_t*>(frame.get()->kframe()->data[0]);
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    const auto start = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    while (stopWriting == 0) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(sent * 1000000 / hz));
        std::fill(words, words + kWords, ++sent);
        writer.updateFrame(frame.get(), 0);
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
        uint64_t seen = 0;
        const auto start = std::chrono::steady_clock::now();
        for (; reads < 100000 || std::chrono::steady_clock::now() - start < std::chrono::seconds(2);
             ++reads) {
            const qv::mediacore::IFrame* frame = player.getFrame(0);
            if (frame != nullptr && player.lastRead().status == ChannelReadStatus::newFrame) {
                const uint64_t stamp = stampOf(*frame);
                torn += stamp == 0 || stamp != player.lastRead().sequence ? 1 : 0;
                ++seen;
            }
        }
        testing::internal::GetCapturedStderr();
        writer.signal(SIGTERM);
        unsigned long long sent = 0;
        EXPECT_EQ(std::sscanf(writer.waitFor("sent ").c_str(), "sent %llu", &sent), 1);
        EXPECT_EQ(writer.wait(), 0);
        std::printf("[ info ] %d Hz: %llu reads, %llu frames sent, %llu seen, %llu torn\n", hz,
                    static_cast<unsigned long long>(reads), sent,
                    static_cast<unsigned long long>(seen), static_cast<unsigned long long>(torn));
        EXPECT_EQ(torn, 0u);
        EXPECT_GT(seen, 1u);
        channeltest::expectGone(name);
    }
}

// Plays, writes one 4 x 4 frame and returns what kept it from writing ("" when it wrote).
std::string writeOneFrame(SharedMemoryIPCServer& writer, uint8_t seed = 1) {
    const TestFrame frame(4, 4, {16}, seed);
    writer.play(0, 0);
    writer.updateFrame(frame.get(), 0);
    return writer.acquisitionProblem();
}

// A writer process that has written its first frame; killed, it leaves its channel and guard.
channeltest::Holder liveWriter(const std::string& name) {
    return holder([&] { return writeOneFrame(*new SharedMemoryIPCServer(name)).empty(); });
}

TEST(Foreign, AHundredKilledWritersAreReclaimedByLaterAcquisitions) {
    testsupport::LogCapture log;
    const std::string stem = channeltest::freshName("dead");
    std::vector<std::string> dead;
    for (int i = 0; i < 100; ++i) {
        dead.push_back(stem + "_" + std::to_string(i));
        liveWriter(dead.back()).reset();  // SIGKILL
    }
    // And a writer killed between creating its guard and marking it: a blank guard nobody holds.
    dead.push_back(stem + "_blank");
    const int blank =
        ::shm_open(("/" + dead.back() + ".guard").c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_EQ(::ftruncate(blank, 4096), 0);
    ::close(blank);
    // (Writers of other tests running at the same time may already reclaim some of them.)
    auto anyLeft = [&] {
        return std::any_of(dead.begin(), dead.end(), [](const std::string& name) {
            return existsInDevShm(name) || existsInDevShm(name + ".guard");
        });
    };
    int acquisitions = 0;
    for (; anyLeft() && acquisitions < 200; ++acquisitions) {
        SharedMemoryIPCServer writer(stem + "_live");
        writeOneFrame(writer);
    }
    EXPECT_FALSE(anyLeft()) << "after " << acquisitions << " acquisitions";
    EXPECT_LE(acquisitions, 100) << "a few names are reclaimed per acquisition";
    channeltest::expectGone(stem + "_live");
}

TEST(Foreign, ASecondLiveWriterIsRefusedAndAnotherProcesssExclusiveLocksMakeNobodyWait) {
    const std::string name = channeltest::freshName("twowriters");
    testsupport::LogCapture log;
    auto first = liveWriter(name);
    SharedMemoryIPCServer second(name);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(writeOneFrame(second, 9).find("another live writer"), std::string::npos);
    }
    EXPECT_EQ(log.startingWith("channel " + name + " is written by another live writer").size(),
              1u);
    {
        SharedMemoryPlayer player(nullptr, name);
        player.play(0, 0);
        EXPECT_TRUE(TestFrame(4, 4, {16}, 1).sameAs(player.getFrame(0))) << "the first's frame";
    }
    first.reset();  // SIGKILL: a dead writer's channel, now locked exclusively by somebody else
    auto locker = holder([&] {
        for (const std::string& each : {name, name + ".guard"}) {
            const int fd = ::shm_open(("/" + each).c_str(), O_RDONLY, 0);
            if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                return false;
            }
        }
        return true;
    });
    SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(player.getFrame(0), nullptr) << "a dead writer's frame is not served";
    EXPECT_EQ(writeOneFrame(second, 4), "") << "free once the first let go";
    EXPECT_TRUE(TestFrame(4, 4, {16}, 4).sameAs(player.getFrame(0)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    testing::internal::GetCapturedStderr();
    second.stop();
    locker.reset();
    channeltest::expectGone(name);
}

}  // namespace
