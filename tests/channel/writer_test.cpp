#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>

#include <cstring>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using tarn::mediadispatch::kShmChannelSize;
using tarn::mediadispatch::SharedMemoryIPCServer;
using testing::HasSubstr;
using testing::StartsWith;

constexpr uint64_t kMapped = 1642496;  // kShmChannelSize in whole 4 KiB pages

std::string acquisitionLine(const std::string& name, uint64_t shmSize, bool valid) {
    return "SharedMemoryIPCServer acquireShm name:" + name +
           ", size:0, shmSize:" + std::to_string(shmSize) + ", valid:" + (valid ? "true" : "false");
}

class Writer : public testing::Test {
protected:
    void SetUp() override { name = channeltest::freshName("writer"); }
    void TearDown() override {
        view.release();
        writer.reset();
        EXPECT_FALSE(channeltest::existsInDevShm(name)) << "the test's segment is left behind";
        EXPECT_FALSE(channeltest::existsInDevShm(name + ".guard"));
    }
    // Opens the channel as a plain reader would.
    const uint8_t* openView() {
        if (!view.acquire(name, 1, shm::ShmMode::open)) {
            return nullptr;
        }
        return static_cast<const uint8_t*>(view.mappedAddress());
    }

    std::string name;
    std::unique_ptr<SharedMemoryIPCServer> writer;
    shm::ShmHandle view;
    testsupport::LogCapture log;
};

TEST_F(Writer, FramesBeforePlayAreDroppedAndNothingIsMapped) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    channeltest::TestFrame frame(640, 640, {2560}, 1);
    writer->updateFrame(frame.get(), 0);
    EXPECT_FALSE(channeltest::existsInDevShm(name));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Writer, FirstFrameAfterPlayCreatesTheSegmentAndLogsTheAcquisitionOnce) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    EXPECT_FALSE(channeltest::existsInDevShm(name)) << "play itself maps nothing";
    channeltest::TestFrame frame(640, 640, {2560}, 1);
    writer->updateFrame(frame.get(), 0);
    writer->updateFrame(frame.get(), 0);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_THAT(lines[0].text, StartsWith(acquisitionLine(name, kMapped, true) + " \n //"));
    EXPECT_THAT(lines[0].text, HasSubstr("sharedmemoryipcserver.cpp:"));
}

TEST_F(Writer, SquareFrameFillsTheChannelExactlyAndIsWrittenWhole) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    channeltest::TestFrame frame(640, 640, {2560}, 9);
    writer->updateFrame(frame.get(), 0);
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    const auto header = channeltest::peekHeader(bytes);
    EXPECT_EQ(header.linesize[0], 2560);
    for (int i = 1; i < 8; ++i) {
        EXPECT_EQ(header.linesize[i], 0);
    }
    EXPECT_EQ(header.width, 640);
    EXPECT_EQ(header.height, 640);
    EXPECT_EQ(std::memcmp(bytes + 48, frame.plane(0).data(), 1638400), 0);
}

TEST_F(Writer, FrameUpToTheMappedSizeIsWrittenWholeAndOneByteMoreLeavesOnlyTheHeader) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    // 1,642,448 bytes of planes: exactly what the whole pages hold after the header.
    channeltest::TestFrame fits(1, 1, {1642448}, 3);
    writer->updateFrame(fits.get(), 0);
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes + 48, fits.plane(0).data(), 1642448), 0);

    channeltest::TestFrame tooBig(1, 1, {1642449}, 77);
    writer->updateFrame(tooBig.get(), 0);
    EXPECT_EQ(channeltest::peekHeader(bytes).linesize[0], 1642449);
    EXPECT_EQ(std::memcmp(bytes + 48, fits.plane(0).data(), 1642448), 0) << "planes untouched";
}

TEST_F(Writer, PlanesThatDoNotFitAreLeftOutWhileTheHeaderDescribesTheWholeFrame) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    // Planes of 1,000,000 + 700,000 + 10 bytes: the second does not fit, the third would.
    channeltest::TestFrame frame(1, 1000, {1000, 700, 0, 0, 0, 0, 0, 0}, 5);
    writer->updateFrame(frame.get(), 0);
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    const auto header = channeltest::peekHeader(bytes);
    EXPECT_EQ(header.linesize[0], 1000);
    EXPECT_EQ(header.linesize[1], 700);
    EXPECT_EQ(std::memcmp(bytes + 48, frame.plane(0).data(), 1000000), 0);
    EXPECT_EQ(bytes[48 + 1000000], 0) << "the plane that does not fit is not started";
}

TEST_F(Writer, PlanesWithoutDataAreSkippedButKeepTheirLineSize) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    channeltest::TestFrame frame(4, 2, {8, 4, 4}, 11);
    frame.get()->kframe()->data[1] = nullptr;
    writer->updateFrame(frame.get(), 0);
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(channeltest::peekHeader(bytes).linesize[1], 4);
    EXPECT_EQ(std::memcmp(bytes + 48, frame.plane(0).data(), 16), 0);
    EXPECT_EQ(std::memcmp(bytes + 64, frame.plane(2).data(), 8), 0) << "plane 2 follows plane 0";
}

TEST_F(Writer, NegativeLineSizesAreNeverReadFrom) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    channeltest::TestFrame frame(4, 2, {8, 0, 4}, 11);
    uint8_t tiny = 0xee;
    auto record = frame.get()->kframe();
    record->linesize[1] = -4;  // a bottom-up plane; its data pointer has a single byte behind it
    record->data[1] = &tiny;
    writer->updateFrame(frame.get(), 0);
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(channeltest::peekHeader(bytes).linesize[1], -4);
    EXPECT_EQ(std::memcmp(bytes + 48, frame.plane(0).data(), 16), 0);
    EXPECT_EQ(std::memcmp(bytes + 64, frame.plane(2).data(), 8), 0);
}

TEST_F(Writer, NegativeHeightWritesNoPlane) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    channeltest::TestFrame frame(4, 2, {8}, 11);
    frame.get()->setHeight(-2);
    writer->updateFrame(frame.get(), 0);
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(channeltest::peekHeader(bytes).height, -2);
    EXPECT_EQ(bytes[48], 0);
}

TEST_F(Writer, NullFrameIsRefusedWithAWarning) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    writer->updateFrame(nullptr, 0);
    EXPECT_FALSE(channeltest::existsInDevShm(name));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::warn);
}

TEST_F(Writer, StopReleasesTheSegmentAndPlayThenAFrameMapsAfresh) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    channeltest::TestFrame frame(640, 640, {2560}, 1);
    writer->updateFrame(frame.get(), 0);
    EXPECT_TRUE(channeltest::existsInDevShm(name));
    writer->stop();
    EXPECT_FALSE(channeltest::existsInDevShm(name)) << "no other holder: gone with the writer";
    writer->updateFrame(frame.get(), 0);
    EXPECT_FALSE(channeltest::existsInDevShm(name)) << "frames after stop are dropped";
    writer->play(0, 0);
    writer->updateFrame(frame.get(), 0);
    EXPECT_TRUE(channeltest::existsInDevShm(name));
    EXPECT_EQ(log.startingWith("SharedMemoryIPCServer acquireShm").size(), 2u);
}

TEST_F(Writer, PauseAndResumeKeepWritingFrames) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    EXPECT_TRUE(writer->init());
    writer->play(0, 0);
    EXPECT_TRUE(writer->pause(1.0));
    channeltest::TestFrame frame(2, 2, {8}, 4);
    writer->updateFrame(frame.get(), 0);
    EXPECT_TRUE(writer->resume(1.0));
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes + 48, frame.plane(0).data(), 16), 0);
}

TEST_F(Writer, ExistingSegmentThatIsNotOursIsRefusedWithTheWarningOnEveryFrame) {
    shm::ShmHandle squatter;
    ASSERT_TRUE(squatter.acquire(name, 4096, shm::ShmMode::create));
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    writer->play(0, 0);
    channeltest::TestFrame frame(2, 2, {8}, 4);
    for (int i = 0; i < 3; ++i) {
        writer->updateFrame(frame.get(), 0);
    }
    const auto warnings = log.startingWith("shared memory get error:" + name + " \n //");
    EXPECT_EQ(warnings.size(), 3u);
    for (const auto& line : warnings) {
        EXPECT_EQ(line.level, spdlog::level::warn);
    }
    const auto attempts = log.startingWith(acquisitionLine(name, 0, false));
    EXPECT_EQ(attempts.size(), 3u);
    EXPECT_EQ(log.startingWith("channel " + name + ": /dev/shm/" + name + " exists but").size(), 1u)
        << "explained once";
    EXPECT_EQ(static_cast<const uint8_t*>(squatter.mappedAddress())[48], 0) << "nothing written";
    squatter.release();
    EXPECT_FALSE(channeltest::existsInDevShm(name + ".guard"));
}

}  // namespace
