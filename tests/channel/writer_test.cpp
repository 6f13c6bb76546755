#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>

#include <cstring>
#include <functional>
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

TEST_F(Writer, MapsOnTheFirstFrameAfterPlayLogsEachAcquisitionOnceAndLetsGoOnStop) {
    writer = std::make_unique<SharedMemoryIPCServer>(name);
    EXPECT_TRUE(writer->init());
    channeltest::TestFrame frame(2, 2, {8}, 4);
    writer->updateFrame(frame.get(), 0);
    EXPECT_TRUE(log.lines().empty()) << "frames before play are dropped";
    writer->play(0, 0);
    EXPECT_FALSE(channeltest::existsInDevShm(name)) << "play itself maps nothing";
    writer->updateFrame(nullptr, 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::warn) << "a null frame is refused";
    EXPECT_TRUE(writer->pause(1.0));
    writer->updateFrame(frame.get(), 0);
    writer->updateFrame(frame.get(), 0);
    EXPECT_TRUE(writer->resume(1.0));
    const auto lines = log.startingWith("SharedMemoryIPCServer acquireShm");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_THAT(lines[0].text, StartsWith(acquisitionLine(name, kMapped, true) + " \n //"));
    EXPECT_THAT(lines[0].text, HasSubstr("sharedmemoryipcserver.cpp:"));
    const uint8_t* bytes = openView();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes + 48, frame.plane(0).data(), 16), 0) << "written while paused";
    view.release();
    writer->stop();
    EXPECT_FALSE(channeltest::existsInDevShm(name)) << "no other holder: gone with the writer";
    writer->updateFrame(frame.get(), 0);
    EXPECT_FALSE(channeltest::existsInDevShm(name)) << "frames after stop are dropped";
    writer->play(0, 0);
    writer->updateFrame(frame.get(), 0);
    EXPECT_TRUE(channeltest::existsInDevShm(name));
    EXPECT_EQ(log.startingWith("SharedMemoryIPCServer acquireShm").size(), 2u);
}

TEST_F(Writer, PlanesFollowTheHeaderBackToBackAndWhatCannotBeReadOrDoesNotFitIsLeftOut) {
    uint8_t tiny = 0xee;
    struct Case {
        const char* what;
        channeltest::TestFrame frame;
        std::function<void(channeltest::TestFrame&)> change;
        std::vector<std::pair<int, size_t>> planesAt;  // plane, offset after the header
        size_t untouchedAt;                            // a byte after the header that stays 0
    };
    Case cases[] = {
        {"a square frame fills the channel", {640, 640, {2560}, 9}, {}, {{0, 0}}, 1638400},
        {"a frame up to the mapped size", {1, 1, {1642448}, 3}, {}, {{0, 0}}, 1642448},
        {"one byte more leaves only the header", {1, 1, {1642449}, 77}, {}, {}, 0},
        {"a plane that does not fit is not started",
         {1, 1000, {1000, 700}, 5},
         {},
         {{0, 0}},
         1000000},
        {"a plane without data is skipped",
         {4, 2, {8, 4, 4}, 11},
         [](channeltest::TestFrame& f) { f.get()->kframe()->data[1] = nullptr; },
         {{0, 0}, {2, 16}},
         24},
        {"a negative line size is never read",
         {4, 2, {8, 0, 4}, 11},
         [&](channeltest::TestFrame& f) {
             f.get()->kframe()->linesize[1] = -4;  // a bottom-up plane with one byte behind it
             f.get()->kframe()->data[1] = &tiny;
         },
         {{0, 0}, {2, 16}},
         24},
        {"a negative height writes no plane",
         {4, 2, {8}, 11},
         [](channeltest::TestFrame& f) { f.get()->setHeight(-2); },
         {},
         0},
    };
    for (Case& c : cases) {
        writer = std::make_unique<SharedMemoryIPCServer>(name);
        writer->play(0, 0);
        if (c.change) {
            c.change(c.frame);
        }
        writer->updateFrame(c.frame.get(), 0);
        const uint8_t* bytes = openView();
        ASSERT_NE(bytes, nullptr) << c.what;
        const auto header = channeltest::peekHeader(bytes);
        const auto record = c.frame.get()->kframe();
        EXPECT_EQ(header.height, c.frame.get()->getHeight()) << c.what;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(header.linesize[i], record->linesize[i]) << c.what;
        }
        for (const auto& [plane, offset] : c.planesAt) {
            EXPECT_EQ(std::memcmp(bytes + 48 + offset, c.frame.plane(plane).data(),
                                  c.frame.plane(plane).size()),
                      0)
                << c.what << ", plane " << plane;
        }
        if (c.untouchedAt + 48 < view.mappedSize()) {
            EXPECT_EQ(bytes[48 + c.untouchedAt], 0) << c.what;
        }
        view.release();
        writer.reset();
    }
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
