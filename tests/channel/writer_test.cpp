// The writer: when it maps, what it logs, the bytes it puts into the segment, and its lock.
#include <tarnmediadispatchvideoecho/rwspinlock.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>

#include <atomic>
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
using tarn::mediadispatch::RwSpinLock;
using tarn::mediadispatch::SharedMemoryIPCServer;
using testing::StartsWith;

std::string acquisitionLine(const std::string& name, uint64_t shmSize, bool valid) {
    return "SharedMemoryIPCServer acquireShm name:" + name +
           ", size:0, shmSize:" + std::to_string(shmSize) + ", valid:" + (valid ? "true" : "false");
}

int32_t le32(const uint8_t* bytes) {
    return static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
}

TEST(Writer, MapsOnTheFirstFrameAfterPlayLogsEachAcquisitionLetsGoOnStopAndRefusesASquatter) {
    const std::string name = channeltest::freshName("writer");
    testsupport::LogCapture log;
    SharedMemoryIPCServer writer(name);
    TestFrame frame(2, 2, {8}, 4);
    writer.updateFrame(frame.get(), 0);
    EXPECT_TRUE(log.lines().empty()) << "frames before play are dropped";
    writer.play(0, 0);
    EXPECT_FALSE(existsInDevShm(name)) << "play itself maps nothing";
    writer.updateFrame(nullptr, 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, spdlog::level::warn) << "a null frame is refused";
    writer.updateFrame(frame.get(), 0);
    const auto lines = log.startingWith("SharedMemoryIPCServer acquireShm");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, spdlog::level::info);
    EXPECT_THAT(lines[0].text, StartsWith(acquisitionLine(name, 1642496, true) +
                                          " \n //sharedmemoryipcserver.cpp:"));
    writer.stop();
    EXPECT_FALSE(existsInDevShm(name)) << "no other holder: gone with the writer";
    writer.updateFrame(frame.get(), 0);
    EXPECT_FALSE(existsInDevShm(name)) << "frames after stop are dropped";
    writer.play(0, 0);
    writer.updateFrame(frame.get(), 0);
    EXPECT_EQ(log.startingWith("SharedMemoryIPCServer acquireShm").size(), 2u);
    writer.stop();
    // A segment under the name that is not a channel of ours: refused, and said so at every frame.
    shm::ShmHandle squatter;
    ASSERT_TRUE(squatter.acquire(name, 4096, shm::ShmMode::create));
    writer.play(0, 0);
    for (int i = 0; i < 3; ++i) {
        writer.updateFrame(frame.get(), 0);
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

}  // namespace
