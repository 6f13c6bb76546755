// The player in one process with a writer: when it reads, what it copies and reports, and the
// buffers and views it keeps.
#include <tarnmediadispatchvideoecho/channelviewset.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using channeltest::TestFrame;
using qv::mediacore::IFrame;
using tarn::mediadispatch::SharedMemoryIPCServer;
using vantor::mediadispatch::ChannelReadStatus;
using vantor::mediadispatch::SharedMemoryPlayer;

TEST(Player, ReadsOnlyWhenPlayingOrPausedCopiesEachFrameIntoTwoReusedBuffersAndRefusesOversize) {
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
    // A read lands in a spare buffer and is swapped in once intact, so a plane of unchanged size
    // alternates between the same two buffers.
    IFrame* got = player.getFrame(0);
    ASSERT_NE(got, nullptr);
    uint8_t* const plane0 = got->kframe()->data[0];
    for (const uint8_t seed : {9, 10}) {
        const TestFrame next(640, 48, {64, 48, 32, 0, 0, 0, 0, 16}, seed, 0, 30);
        writer.updateFrame(next.get(), 0);
        EXPECT_EQ(player.getFrame(0), got) << "the same frame object";
        EXPECT_TRUE(next.sameAs(got));
        EXPECT_EQ(player.lastRead().status, ChannelReadStatus::newFrame);
    }
    EXPECT_EQ(got->kframe()->data[0], plane0) << "same size: the first buffer is back";
    const TestFrame huge(1, 2, {1000000}, 1);
    writer.updateFrame(huge.get(), 0);
    EXPECT_EQ(player.getFrame(0), nullptr) << "larger than the segment";
    EXPECT_EQ(player.lastRead().status, ChannelReadStatus::invalidHeader);
    writer.updateFrame(first.get(), 0);
    EXPECT_TRUE(first.sameAs(player.getFrame(0)));
    writer.stop();
    channeltest::expectGone(name);
}

TEST(Player, PlayersOfOneViewSetShareOneViewOfAChannel) {
    const std::string name = channeltest::freshName("views");
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    const TestFrame frame(4, 4, {16}, 1);
    writer.updateFrame(frame.get(), 0);
    const auto views = std::make_shared<tarn::mediadispatch::ChannelViewSet>();
    std::vector<std::shared_ptr<SharedMemoryPlayer>> players;
    for (int i = 0; i < 50; ++i) {
        players.push_back(std::make_shared<SharedMemoryPlayer>(nullptr, name, views));
        players.back()->play(0, 0);
        EXPECT_TRUE(frame.sameAs(players.back()->getFrame(0)));
    }
    // The writer's descriptor plus one shared view, however many players read.
    int descriptors = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        char link[256];
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t length = ::readlink(path.c_str(), link, sizeof link);
        descriptors += std::string(link, static_cast<size_t>(std::max<ssize_t>(length, 0))) ==
                       "/dev/shm/" + name;
    }
    EXPECT_EQ(descriptors, 2);
    players.clear();
    writer.stop();
    channeltest::expectGone(name);
}

}  // namespace
