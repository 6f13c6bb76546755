#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using qv::mediacore::IFrame;
using tarn::mediadispatch::SharedMemoryIPCServer;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using vantor::mediadispatch::SharedMemoryPlayer;

class Player : public testing::Test {
protected:
    void SetUp() override {
        name = channeltest::freshName("player");
        player = std::make_shared<SharedMemoryPlayer>(nullptr, name);
        writer = std::make_shared<SharedMemoryIPCServer>(name);
    }
    void TearDown() override {
        player.reset();
        writer.reset();
        EXPECT_FALSE(channeltest::existsInDevShm(name)) << "the test's segment is left behind";
        EXPECT_FALSE(channeltest::existsInDevShm(name + ".guard"));
    }
    void startWriting(const channeltest::TestFrame& frame) {
        writer->play(0, 0);
        writer->updateFrame(frame.get(), 0);
    }

    std::string name;
    testsupport::LogCapture log;
    std::shared_ptr<SharedMemoryPlayer> player;
    std::shared_ptr<SharedMemoryIPCServer> writer;
};

void expectFrameEquals(const IFrame* got, const channeltest::TestFrame& sent) {
    ASSERT_NE(got, nullptr);
    const IFrame* want = sent.get();
    EXPECT_EQ(got->getWidth(), want->getWidth());
    EXPECT_EQ(got->getHeight(), want->getHeight());
    EXPECT_EQ(got->format(), want->format());
    EXPECT_EQ(got->getFps(), want->getFps());
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(got->kframe()->linesize[i], want->kframe()->linesize[i]);
        if (!sent.plane(i).empty()) {
            ASSERT_NE(got->kframe()->data[i], nullptr);
            EXPECT_EQ(
                std::memcmp(got->kframe()->data[i], sent.plane(i).data(), sent.plane(i).size()), 0)
                << "plane " << i;
        }
    }
}

TEST_F(Player, ReturnsNullBeforeAnyWriterAndReportsTheOpenFailureOnce) {
    player->play(0, 0);
    CaptureStderr();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(player->getFrame(0), nullptr);
    }
    EXPECT_EQ(GetCapturedStderr(),
              "fail OpenFileMapping[" + std::to_string(ENOENT) + "]: " + name + "\n");
}

TEST_F(Player, ReadsEachFrameByteForByteIntoTwoBuffersThatItKeepsReusing) {
    // A read lands in a spare buffer and is swapped in once it proved intact, so a plane of
    // unchanged size alternates between the same two buffers and is never reallocated.
    channeltest::TestFrame first(64, 48, {64, 32, 32, 0, 0, 0, 0, 16}, 3, 0, 30);
    startWriting(first);
    EXPECT_TRUE(player->init());
    IFrame* got = player->getFrame(0);
    expectFrameEquals(got, first);
    uint8_t* const plane0 = got->kframe()->data[0];
    player->destroyFrame();
    EXPECT_EQ(player->getFrame(0), got) << "the same frame again: the same object and buffers";
    EXPECT_EQ(got->kframe()->data[0], plane0);
    for (const uint8_t seed : {9, 10}) {
        channeltest::TestFrame next(640, 48, {64, 48, 32, 0, 0, 0, 0, 16}, seed, 0, 30);
        writer->updateFrame(next.get(), 0);
        EXPECT_EQ(player->getFrame(0), got);
        expectFrameEquals(got, next);
    }
    EXPECT_EQ(got->kframe()->data[0], plane0) << "same size: the first buffer is back";
}

TEST_F(Player, OnlyAPlayingOrPausedPlayerWithDeliveryOnReadsTheChannel) {
    channeltest::TestFrame frame(4, 4, {16}, 1);
    startWriting(frame);
    struct Step {
        std::function<void()> action;
        int state;
        bool reads;
    };
    const Step steps[] = {
        {[&] { player->stop(false); }, qv::mediacore::kPlayerStateStopped, false},
        {[&] { player->play(0, 0); }, qv::mediacore::kPlayerStatePlaying, true},
        {[&] { player->pause(0); }, qv::mediacore::kPlayerStatePaused, true},
        {[&] { player->setVideoEchoSendFrameEnabled(false); }, qv::mediacore::kPlayerStatePaused,
         false},
        {[&] { player->resume(0); }, qv::mediacore::kPlayerStatePlaying, false},
        {[&] { player->setVideoEchoSendFrameEnabled(true); }, qv::mediacore::kPlayerStatePlaying,
         true},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].action();
        EXPECT_EQ(player->getPlayState(), steps[i].state) << "step " << i;
        IFrame* got = player->getFrame(0);
        EXPECT_EQ(got != nullptr, steps[i].reads) << "step " << i;
        if (steps[i].reads) {
            expectFrameEquals(got, frame);
        }
    }
}

TEST_F(Player, NoticesAWriterThatHasGoneAndFollowsOneThatRestartsUnderTheName) {
    channeltest::TestFrame first(4, 4, {16}, 1);
    startWriting(first);
    expectFrameEquals(player->getFrame(0), first);
    writer->stop();
    EXPECT_FALSE(channeltest::existsInDevShm(name)) << "the writer deletes its name";
    CaptureStderr();
    EXPECT_EQ(player->getFrame(0), nullptr);
    GetCapturedStderr();
    EXPECT_EQ(player->lastRead().status, vantor::mediadispatch::ChannelReadStatus::noChannel);
    channeltest::TestFrame second(8, 8, {32}, 2);
    startWriting(second);
    expectFrameEquals(player->getFrame(0), second);
}

TEST_F(Player, FrameLargerThanTheSegmentYieldsNullAndFreesThePlaneBuffers) {
    channeltest::TestFrame small(4, 4, {16}, 1);
    startWriting(small);
    ASSERT_NE(player->getFrame(0), nullptr);
    channeltest::TestFrame huge(1, 2, {1000000}, 1);
    writer->updateFrame(huge.get(), 0);
    // Still the same frame object, now with the header's line sizes and no buffers.
    EXPECT_EQ(player->getFrame(0), nullptr);
    channeltest::TestFrame back(4, 4, {16}, 5);
    writer->updateFrame(back.get(), 0);
    expectFrameEquals(player->getFrame(0), back);
}

TEST_F(Player, PlayersOfOneViewSetShareOneViewOfAChannel) {
    channeltest::TestFrame frame(4, 4, {16}, 1);
    startWriting(frame);
    const auto views = std::make_shared<tarn::mediadispatch::ChannelViewSet>();
    std::vector<std::shared_ptr<SharedMemoryPlayer>> players;
    for (int i = 0; i < 50; ++i) {
        players.push_back(std::make_shared<SharedMemoryPlayer>(nullptr, name, views));
        players.back()->play(0, 0);
        expectFrameEquals(players.back()->getFrame(0), frame);
    }
    // The writer's descriptor plus one shared view, however many players read.
    EXPECT_EQ(channeltest::descriptorsOf(name), 2);
}

}  // namespace
