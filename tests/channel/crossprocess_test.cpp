// Writer and reader in different processes, meeting only by the channel name.
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "helperprocess.h"
#include "logcapture.h"

namespace {

using channeltest::HelperProcess;
using qv::mediacore::IFrame;
using tarn::mediadispatch::SharedMemoryIPCServer;
using vantor::mediadispatch::SharedMemoryPlayer;

bool sameAsSent(const IFrame* got, uint8_t seed) {
    const channeltest::TestFrame sent(640, 640, {2560}, seed);
    return got != nullptr && got->getWidth() == 640 && got->getHeight() == 640 &&
           got->kframe()->linesize[0] == 2560 && got->kframe()->data[0] != nullptr &&
           std::memcmp(got->kframe()->data[0], sent.plane(0).data(), 1638400) == 0;
}

std::string digestLine(uint8_t seed) {
    const channeltest::TestFrame sent(640, 640, {2560}, seed);
    const auto record = sent.get()->kframe();
    return "frame " + std::to_string(channeltest::frameDigest(640, 640, sent.get()->format(),
                                                              record->linesize, record->data));
}

class CrossProcess : public testing::Test {
protected:
    void SetUp() override { name = channeltest::freshName("xproc"); }
    void TearDown() override {
        EXPECT_FALSE(channeltest::existsInDevShm(name)) << "the test's segment is left behind";
        EXPECT_FALSE(channeltest::existsInDevShm(name + ".guard"));
    }

    std::string name;
    testsupport::LogCapture log;
};

TEST_F(CrossProcess, ReaderSeesTheWritersFrameOnlyBetweenFirstFrameAndStop) {
    HelperProcess writer({"writer", name});
    ASSERT_TRUE(writer.started());
    auto player = std::make_unique<SharedMemoryPlayer>(nullptr, name);
    player->play(0, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(player->getFrame(0), nullptr) << "no writer yet";
    ASSERT_EQ(writer.ask("play"), "ok");
    EXPECT_EQ(player->getFrame(0), nullptr) << "play alone maps nothing";
    ASSERT_EQ(writer.ask("frame 17"), "ok");
    EXPECT_TRUE(sameAsSent(player->getFrame(0), 17));
    ASSERT_EQ(writer.ask("frame 18"), "ok");
    EXPECT_TRUE(sameAsSent(player->getFrame(0), 18));
    ASSERT_EQ(writer.ask("stop"), "ok");
    EXPECT_EQ(player->getFrame(0), nullptr) << "writer stopped";
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(channeltest::existsInDevShm(name));
    EXPECT_EQ(writer.ask("exit"), "ok");
    EXPECT_EQ(writer.wait(), 0);
}

TEST_F(CrossProcess, ReaderProcessCopiesTheFrameByteForByte) {
    HelperProcess reader({"reader", name});
    ASSERT_TRUE(reader.started());
    EXPECT_EQ(reader.ask("read"), "null");
    {
        SharedMemoryIPCServer writer(name);
        writer.play(0, 0);
        channeltest::TestFrame frame(640, 640, {2560}, 99);
        writer.updateFrame(frame.get(), 0);
        EXPECT_EQ(reader.ask("read"), digestLine(99));
        EXPECT_EQ(reader.ask("read"), digestLine(99));
        writer.stop();
        EXPECT_EQ(reader.ask("read"), "null");
    }
    EXPECT_EQ(reader.ask("exit"), "ok");
    EXPECT_EQ(reader.wait(), 0);
}

TEST_F(CrossProcess, ReaderThatStaysOpenFollowsARestartedWriter) {
    SharedMemoryPlayer player(nullptr, name);
    {
        HelperProcess first({"writer", name});
        ASSERT_EQ(first.ask("play"), "ok");
        ASSERT_EQ(first.ask("frame 5"), "ok");
        EXPECT_TRUE(sameAsSent(player.getFrame(0), 5));
        ASSERT_EQ(first.ask("exit"), "ok");
        EXPECT_EQ(first.wait(), 0);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(player.getFrame(0), nullptr);
    testing::internal::GetCapturedStderr();
    HelperProcess second({"writer", name});
    ASSERT_EQ(second.ask("play"), "ok");
    ASSERT_EQ(second.ask("frame 6"), "ok");
    EXPECT_TRUE(sameAsSent(player.getFrame(0), 6));
    ASSERT_EQ(second.ask("exit"), "ok");
    EXPECT_EQ(second.wait(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(player.getFrame(0), nullptr);
    testing::internal::GetCapturedStderr();
}

// SIGKILL the writer mid-stream again and again, sometimes while it is still creating the
// segment, sometimes while a reader holds it and sometimes while nobody else does. The reader
// never serves the dead writer's frame; each new writer reclaims what the last one left, and
// once the last writer has stopped nothing of the channel is left in /dev/shm.
TEST_F(CrossProcess, WriterKilledMidStreamAHundredTimesLeavesNothingBehind) {
    std::mt19937 random(4242);
    const auto start = std::chrono::steady_clock::now();
    auto player = std::make_unique<SharedMemoryPlayer>(nullptr, name);
    testing::internal::CaptureStderr();
    for (int round = 0; round < 100; ++round) {
        const uint8_t seed = static_cast<uint8_t>(round);
        HelperProcess writer({"writer", name});
        ASSERT_TRUE(writer.started());
        if (round % 4 == 3) {
            // Kill it at some point of start-up or creation, without waiting for a frame.
            writer.sendOnly("stream " + std::to_string(seed));
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        } else {
            ASSERT_EQ(writer.ask("stream " + std::to_string(seed)), "ok") << "round " << round;
            if (round % 2 == 0) {
                // A read that meets the streaming writer mid-frame returns nothing (this writer
                // has no intact frame to fall back on yet); one of the next reads finds a frame.
                bool read = false;
                for (int attempt = 0; attempt < 200 && !read; ++attempt) {
                    read = player->getFrame(0) != nullptr;
                    if (!read) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    }
                }
                EXPECT_TRUE(read) << "round " << round;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        }
        writer.killNow();
        EXPECT_EQ(writer.wait(), 128 + SIGKILL);
        if (round % 2 == 0) {
            EXPECT_EQ(player->getFrame(0), nullptr) << "round " << round << ": writer is dead";
        }
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
    }
    testing::internal::GetCapturedStderr();

    // A new writer and reader work again.
    {
        SharedMemoryIPCServer writer(name);
        writer.play(0, 0);
        channeltest::TestFrame frame(640, 640, {2560}, 200);
        writer.updateFrame(frame.get(), 0);
        EXPECT_TRUE(sameAsSent(player->getFrame(0), 200));
        HelperProcess reader({"reader", name});
        EXPECT_EQ(reader.ask("read"), digestLine(200));
        EXPECT_EQ(reader.ask("exit"), "ok");
        EXPECT_EQ(reader.wait(), 0);
    }
    player.reset();
}

}  // namespace
