// The writer and the player in one process. The writer: when it maps, what it logs, the bytes
// it puts into the segment, and its lock. The player: when it reads, what it copies and reports,
// and the headers it refuses. The header in shared memory is written by another process and is
// not trusted: whatever it says, the player must not read outside the segment (AddressSanitizer
// turns that into a failure).
#include <tarnmediadispatchvideoecho/channelinspection.h>
#include <tarnmediadispatchvideoecho/rwspinlock.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <shm/shmhandle.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using channeltest::existsInDevShm;
using channeltest::TestFrame;
using qv::mediacore::IFrame;
using tarn::mediadispatch::RwSpinLock;
using tarn::mediadispatch::SharedMemoryIPCServer;
using tarn::mediadispatch::ShmFrameHeader;
using testing::StartsWith;
using vantor::mediadispatch::ChannelReadStatus;
using vantor::mediadispatch::SharedMemoryPlayer;

std::string acquisitionLine(const std::string& name, uint64_t shmSize, bool valid) {
    return "SharedMemoryIPCServer acquireShm name:" + name +
           ", size:0, shmSize:" + std::to_string(shmSize) + ", valid:" + (valid ? "true" : "false");
}

int32_t le32(const uint8_t* bytes) {
    return static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
}

TEST(Writer, TheHeaderIsFortyEightBytesOfLittleEndianFieldsWithThePlanesPackedBehindIt) {
    EXPECT_EQ(tarn::mediadispatch::kShmChannelSize, 48u + 640u * 640u * 4u);
    struct Case {
        const char* what;
        TestFrame frame;
        std::vector<std::pair<int, size_t>> planesAt;  // plane, offset after the header
        size_t untouchedAt;                            // a byte after the header that stays 0
    } const cases[] = {
        {"a square frame fills the channel", {640, 640, {2560}, 9}, {{0, 0}}, 1638400},
        {"a frame up to the mapped size", {1, 1, {1642448}, 3}, {{0, 0}}, 1642448},
        {"one byte more leaves only the header", {1, 1, {1642449}, 77}, {}, 0},
        {"a plane that does not fit is not started", {1, 1000, {1000, 700}, 5}, {{0, 0}}, 1000000},
        {"planes back to back, the rate's low 32 bits",
         {7, 3, {12, 4, 0, 0, 0, 0, 0, 2}, 1, 0x1234, 0x1'0000'001eull},
         {{0, 0}, {1, 36}, {7, 48}},
         54},
    };
    const std::string name = channeltest::freshName("layout");
    testsupport::LogCapture log;
    for (const Case& c : cases) {
        auto writer = std::make_unique<SharedMemoryIPCServer>(name);
        writer->play(0, 0);
        writer->updateFrame(c.frame.get(), 0);
        shm::ShmHandle view;
        ASSERT_TRUE(view.acquire(name, 1, shm::ShmMode::open)) << c.what;
        const auto* bytes = static_cast<const uint8_t*>(view.mappedAddress());
        const auto record = c.frame.get()->kframe();
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(le32(bytes + 4 * i), record->linesize[i]) << c.what;
        }
        EXPECT_EQ(le32(bytes + 32), c.frame.get()->getWidth()) << c.what;
        EXPECT_EQ(le32(bytes + 36), c.frame.get()->getHeight()) << c.what;
        EXPECT_EQ(le32(bytes + 40), c.frame.get()->format()) << c.what;
        EXPECT_EQ(le32(bytes + 44), static_cast<int32_t>(c.frame.get()->getFps())) << c.what;
        for (const auto& [plane, offset] : c.planesAt) {
            EXPECT_EQ(std::memcmp(bytes + 48 + offset, c.frame.plane(plane).data(),
                                  c.frame.plane(plane).size()),
                      0)
                << c.what << ", plane " << plane;
        }
        if (c.untouchedAt + 48 < view.mappedSize()) {
            EXPECT_EQ(bytes[48 + c.untouchedAt], 0) << c.what;
        }
    }
    channeltest::expectGone(name);
}

TEST(RwSpinLock, WriterWaitsForTheReadersInside) {
    RwSpinLock lock;
    lock.lock_shared();
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        lock.lock();
        writerIn = true;
        lock.unlock();
    });
    // The writer announces itself but may not enter while the reader is in.
    while ((lock.rawWord() & RwSpinLock::kWriterFlag) == 0 && !writerIn) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(writerIn);
    lock.unlock_shared();
    writer.join();
    EXPECT_TRUE(writerIn);
    EXPECT_EQ(lock.rawWord(), 0u);
}

// A player that starts before its writer, then both through their play states, the writer's
// lines at each acquisition, and a segment under the name that is not a channel of ours.
TEST(WriterAndPlayer, FollowPlayStatesLogEachAcquisitionWaitForFramesAndRefuseASquatter) {
    const std::string name = channeltest::freshName("writerplayer");
    testsupport::LogCapture log;
    SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(player.getFrame(0), nullptr);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fail OpenFileMapping[" + std::to_string(ENOENT) + "]: " + name + "\n")
        << "reported once";
    EXPECT_EQ(player.lastRead().status, ChannelReadStatus::noChannel);

    SharedMemoryIPCServer writer(name);
    const TestFrame first(64, 48, {64, 32, 32, 0, 0, 0, 0, 16}, 3, 0, 30);
    writer.updateFrame(first.get(), 0);
    EXPECT_TRUE(log.lines().empty()) << "frames before play are dropped";
    writer.play(0, 0);
    EXPECT_FALSE(existsInDevShm(name)) << "play itself maps nothing";
    writer.updateFrame(nullptr, 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::warn) << "a null frame is refused";
    writer.updateFrame(first.get(), 0);
    const auto lines = log.startingWith("SharedMemoryIPCServer acquireShm");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_THAT(lines[0].text, StartsWith(acquisitionLine(name, 1642496, true) +
                                          " \n //sharedmemoryipcserver.cpp:"));
    // After each step: the play state, and whether a read returns the frame.
    const auto reads = [&](int state, bool expected, const char* step) {
        EXPECT_EQ(player.getPlayState(), state) << step;
        const IFrame* got = player.getFrame(0);
        EXPECT_EQ(got != nullptr, expected) << step;
        EXPECT_TRUE(!expected || first.sameAs(got)) << step;
    };
    player.stop(false);
    reads(qv::mediacore::kPlayerStateStopped, false, "stopped");
    player.play(0, 0);
    reads(qv::mediacore::kPlayerStatePlaying, true, "playing");
    player.pause(0);
    reads(qv::mediacore::kPlayerStatePaused, true, "paused");
    player.setVideoEchoSendFrameEnabled(false);
    reads(qv::mediacore::kPlayerStatePaused, false, "paused, delivery off");
    player.resume(0);
    reads(qv::mediacore::kPlayerStatePlaying, false, "playing, delivery off");
    player.setVideoEchoSendFrameEnabled(true);
    reads(qv::mediacore::kPlayerStatePlaying, true, "playing, delivery on");
    // Nothing new: the wait takes its whole time and returns the frame it had.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(first.sameAs(player.waitForFrame(std::chrono::milliseconds(30))));
    EXPECT_EQ(player.lastRead().status, ChannelReadStatus::sameFrame);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    const TestFrame next(640, 48, {64, 48, 32, 0, 0, 0, 0, 16}, 9, 0, 30);
    writer.updateFrame(next.get(), 0);
    EXPECT_TRUE(next.sameAs(player.waitForFrame(std::chrono::seconds(10))));
    EXPECT_EQ(player.lastRead().status, ChannelReadStatus::newFrame);

    writer.stop();
    EXPECT_FALSE(existsInDevShm(name)) << "no other holder: gone with the writer";
    writer.updateFrame(first.get(), 0);
    EXPECT_FALSE(existsInDevShm(name)) << "frames after stop are dropped";
    writer.play(0, 0);
    writer.updateFrame(first.get(), 0);
    EXPECT_EQ(log.startingWith("SharedMemoryIPCServer acquireShm").size(), 2u);
    writer.stop();
    // Not a channel of ours: refused, and said so at every frame.
    shm::ShmHandle squatter;
    ASSERT_TRUE(squatter.acquire(name, 4096, shm::ShmMode::create));
    writer.play(0, 0);
    for (int i = 0; i < 3; ++i) {
        writer.updateFrame(first.get(), 0);
    }
    const auto warnings = log.startingWith("shared memory get error:" + name + " \n //");
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_EQ(warnings[0].level, spdlog::level::warn);
    EXPECT_EQ(log.startingWith(acquisitionLine(name, 0, false)).size(), 3u);
    EXPECT_EQ(log.startingWith("channel " + name + ": /dev/shm/" + name + " exists but").size(), 1u)
        << "explained once";
    EXPECT_EQ(static_cast<const uint8_t*>(squatter.mappedAddress())[48], 0) << "nothing written";
    squatter.release();
    channeltest::expectGone(name);
}

constexpr int64_t kMapped = 1642496;
constexpr int32_t kRest = static_cast<int32_t>(kMapped - 48);

ShmFrameHeader header(int32_t height, std::initializer_list<int32_t> linesizes) {
    ShmFrameHeader h{};
    std::copy(linesizes.begin(), linesizes.end(), h.linesize);
    h.width = 1;
    h.height = height;
    return h;
}

TEST(HostileHeader, HeadersThatDescribeNoFrameInsideTheSegmentAreRefused) {
    const std::string name = channeltest::freshName("hostile");
    testsupport::LogCapture log;  // keeps the player's lines off the console
    // A foreign writer: it holds the segment and writes raw bytes into it.
    shm::ShmHandle segment;
    ASSERT_TRUE(segment.acquire(name, 1638448, shm::ShmMode::create));
    auto* bytes = static_cast<uint8_t*>(segment.mappedAddress());
    for (int64_t i = 48; i < kMapped; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 13);
    }
    SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    constexpr int32_t k29 = 1 << 29;
    const struct {
        const char* what;
        ShmFrameHeader header;
        bool accepted;
    } cases[] = {
        {"fills the mapped size exactly", header(1, {kRest}), true},
        {"one byte beyond the mapped size", header(1, {kRest + 1}), false},
        {"negative line size in plane 0", header(4, {-16}), false},
        {"negative height and line size (positive product)", header(-4, {-16}), false},
        {"negative height, small product", header(-2, {-4}), false},
        {"product 2^32 (0 in 32 bits)", header(65536, {65536}), false},
        {"INT32_MAX squared", header(INT32_MAX, {INT32_MAX}), false},
        {"eight planes of 2^29 (48 in 32 bits)",
         header(1, {k29, k29, k29, k29, k29, k29, k29, k29}), false},
        {"a sum that wraps negative", header(1, {1000, INT32_MAX}), false},
    };
    for (const auto& c : cases) {
        std::memcpy(bytes, &c.header, sizeof c.header);
        EXPECT_EQ(player.getFrame(0) != nullptr, c.accepted) << c.what;
        EXPECT_EQ(player.lastRead().status,
                  c.accepted ? ChannelReadStatus::unguarded : ChannelReadStatus::invalidHeader)
            << c.what;
        // The tools look at a channel through the same rules.
        EXPECT_EQ(tarn::mediadispatch::inspectChannel(name).frameFits, c.accepted) << c.what;
    }
    const ShmFrameHeader fits = header(1, {kRest});
    std::memcpy(bytes, &fits, sizeof fits);
    const IFrame* frame = player.getFrame(0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(std::memcmp(frame->kframe()->data[0], bytes + 48, kRest), 0);
    segment.release();
    channeltest::expectGone(name);
}

}  // namespace
