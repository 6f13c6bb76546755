// The player: when it reads, what it copies and reports, and the headers it refuses. The header in
// shared memory is written by another process and is not trusted: whatever it says, the player
// must not read outside the segment (AddressSanitizer turns that into a failure).
#include <tarnmediadispatchvideoecho/channelinspection.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include <climits>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>
#include <shm/shmhandle.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using channeltest::TestFrame;
using qv::mediacore::IFrame;
using tarn::mediadispatch::SharedMemoryIPCServer;
using tarn::mediadispatch::ShmFrameHeader;
using vantor::mediadispatch::ChannelReadStatus;
using vantor::mediadispatch::SharedMemoryPlayer;

TEST(Player, ReadsOnlyWhenPlayingOrPausedCopiesEachFrameAndRefusesOversize) {
    const std::string name = channeltest::freshName("player");
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
    writer.play(0, 0);
    const TestFrame first(64, 48, {64, 32, 32, 0, 0, 0, 0, 16}, 3, 0, 30);
    writer.updateFrame(first.get(), 0);
    struct Step {
        std::function<void()> action;
        int state;
        bool reads;
    } const steps[] = {
        {[&] { player.stop(false); }, qv::mediacore::kPlayerStateStopped, false},
        {[&] { player.play(0, 0); }, qv::mediacore::kPlayerStatePlaying, true},
        {[&] { player.pause(0); }, qv::mediacore::kPlayerStatePaused, true},
        {[&] { player.setVideoEchoSendFrameEnabled(false); }, qv::mediacore::kPlayerStatePaused,
         false},
        {[&] { player.resume(0); }, qv::mediacore::kPlayerStatePlaying, false},
        {[&] { player.setVideoEchoSendFrameEnabled(true); }, qv::mediacore::kPlayerStatePlaying,
         true},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].action();
        EXPECT_EQ(player.getPlayState(), steps[i].state) << "step " << i;
        const IFrame* got = player.getFrame(0);
        EXPECT_EQ(got != nullptr, steps[i].reads) << "step " << i;
        EXPECT_TRUE(!steps[i].reads || first.sameAs(got)) << "step " << i;
    }
    const TestFrame next(640, 48, {64, 48, 32, 0, 0, 0, 0, 16}, 9, 0, 30);
    writer.updateFrame(next.get(), 0);
    EXPECT_TRUE(next.sameAs(player.getFrame(0)));
    EXPECT_EQ(player.lastRead().status, ChannelReadStatus::newFrame);
    const TestFrame huge(1, 2, {1000000}, 1);
    writer.updateFrame(huge.get(), 0);
    EXPECT_EQ(player.getFrame(0), nullptr) << "larger than the segment";
    EXPECT_EQ(player.lastRead().status, ChannelReadStatus::invalidHeader);
    writer.updateFrame(first.get(), 0);
    EXPECT_TRUE(first.sameAs(player.getFrame(0)));
    writer.stop();
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
