// The header in shared memory is written by another process and is not trusted: whatever it
// says, the player must not read or write outside the segment or its buffers, nor allocate more
// than the segment holds. Run under AddressSanitizer to turn any such access into a failure.
#include <tarnmediadispatchvideoecho/channelinspection.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <random>

#include <malloc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "childprocess.h"
#include "logcapture.h"

namespace {

using qv::mediacore::IFrame;
using tarn::mediadispatch::kShmChannelSize;
using tarn::mediadispatch::ShmFrameHeader;
using vantor::mediadispatch::SharedMemoryPlayer;

constexpr int64_t kMapped = 1642496;

ShmFrameHeader header(int32_t height, std::initializer_list<int32_t> linesizes) {
    ShmFrameHeader h{};
    int i = 0;
    for (int32_t size : linesizes) {
        h.linesize[i++] = size;
    }
    h.width = 1;
    h.height = height;
    return h;
}

class HostileHeader : public testing::Test {
protected:
    void SetUp() override {
        name = channeltest::freshName("hostile");
        // A foreign writer: it holds the segment and writes raw bytes into it.
        ASSERT_TRUE(segment.acquire(name, kShmChannelSize, shm::ShmMode::create));
        bytes = static_cast<uint8_t*>(segment.mappedAddress());
        ASSERT_EQ(segment.mappedSize(), static_cast<uint64_t>(kMapped));
        for (int64_t i = 48; i < kMapped; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 13);
        }
        player = std::make_unique<SharedMemoryPlayer>(nullptr, name);
        player->play(0, 0);
    }
    void TearDown() override {
        player.reset();
        segment.release();
        EXPECT_FALSE(channeltest::existsInDevShm(name));
    }

    // Reads once and checks what any returned frame must satisfy; true when a frame came back.
    bool readAndCheck() {
        IFrame* frame = player->getFrame(0);
        if (frame == nullptr) {
            return false;
        }
        const auto record = frame->kframe();
        const int64_t height = frame->getHeight();
        int64_t offset = 48;
        for (int i = 0; i < 8; ++i) {
            const int64_t linesize = record->linesize[i];
            EXPECT_GE(linesize, 0);
            const int64_t size = height * linesize;
            if (size == 0) {
                continue;
            }
            EXPECT_GT(size, 0);
            EXPECT_LE(offset + size, kMapped);
            if (size <= 0 || offset + size > kMapped) {
                return true;
            }
            EXPECT_NE(record->data[i], nullptr);
            if (record->data[i] == nullptr) {
                return true;
            }
            EXPECT_GE(malloc_usable_size(record->data[i]), static_cast<size_t>(size));
            EXPECT_LE(malloc_usable_size(record->data[i]), static_cast<size_t>(kMapped) + 4096);
            offset += size;
        }
        return true;
    }

    std::string name;
    testsupport::LogCapture log;  // keeps the player's lines off the console
    shm::ShmHandle segment;
    uint8_t* bytes = nullptr;
    std::unique_ptr<SharedMemoryPlayer> player;
};

TEST_F(HostileHeader, HeadersThatDescribeNoFrameInsideTheSegmentAreRefused) {
    constexpr int32_t kRest = static_cast<int32_t>(kMapped - 48);
    constexpr int32_t k29 = 1 << 29;
    struct Case {
        const char* what;
        ShmFrameHeader header;
        bool accepted;
    };
    const Case cases[] = {
        {"fills the mapped size exactly", header(1, {kRest}), true},
        {"one byte beyond the mapped size", header(1, {kRest + 1}), false},
        {"a plain small frame", header(2, {16}), true},
        {"negative line size in plane 0", header(4, {-16}), false},
        {"negative line size in plane 7", header(4, {0, 0, 0, 0, 0, 0, 0, -16}), false},
        {"line size INT32_MIN", header(4, {INT32_MIN}), false},
        {"negative height and line size (positive product)", header(-4, {-16}), false},
        {"negative height, small product", header(-2, {-4}), false},
        {"negative height", header(-1, {16}), false},
        {"product 2^32 (0 in 32 bits)", header(65536, {65536}), false},
        {"product 2^32 - 1 (-1 in 32 bits)", header(65537, {65535}), false},
        {"INT32_MAX squared", header(INT32_MAX, {INT32_MAX}), false},
        {"eight planes of 2^29 (48 in 32 bits)",
         header(1, {k29, k29, k29, k29, k29, k29, k29, k29}), false},
        {"a sum that wraps negative", header(1, {1000, INT32_MAX}), false},
        {"huge height", header(INT32_MAX, {1}), false},
    };
    for (const Case& c : cases) {
        channeltest::pokeHeader(bytes, c.header);
        EXPECT_EQ(readAndCheck(), c.accepted) << c.what;
        // The tools look at a channel through the same rules.
        EXPECT_EQ(tarn::mediadispatch::inspectChannel(name).frameFits, c.accepted) << c.what;
    }
    channeltest::pokeHeader(bytes, header(1, {kRest}));
    IFrame* frame = player->getFrame(0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(std::memcmp(frame->kframe()->data[0], bytes + 48, kMapped - 48), 0);
}

TEST_F(HostileHeader, RandomHeadersNeverBreakThePlayer) {
    std::mt19937 random(20240611);
    const int32_t boundaries[] = {0,
                                  1,
                                  -1,
                                  2,
                                  3,
                                  16,
                                  2560,
                                  640,
                                  65535,
                                  65536,
                                  1 << 29,
                                  INT32_MAX,
                                  INT32_MIN,
                                  static_cast<int32_t>(kMapped - 48),
                                  static_cast<int32_t>(kMapped - 47),
                                  -65536};
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        ShmFrameHeader h{};
        const int style = round % 3;
        auto pick = [&]() -> int32_t {
            switch (style) {
                case 0:
                    return static_cast<int32_t>(random());
                case 1:
                    return boundaries[random() % std::size(boundaries)];
                default:  // small values, mostly plausible frames
                    return static_cast<int32_t>(random() % 700) - 20;
            }
        };
        for (int32_t& size : h.linesize) {
            size = random() % 3 == 0 ? 0 : pick();
        }
        h.width = pick();
        h.height = pick();
        h.format = pick();
        h.fps = pick();
        channeltest::pokeHeader(bytes, h);
        accepted += readAndCheck() ? 1 : 0;
    }
    EXPECT_GT(accepted, 0) << "the generator must also produce frames that fit";
}

TEST_F(HostileHeader, HeaderRewrittenDuringReadsByAnotherProcessNeverBreaksThePlayer) {
    testsupport::ChildProcess rewriter([&] {
        // Rewrites the header as fast as it can, alternating plausible and hostile values.
        std::mt19937 random(7);
        auto* words = reinterpret_cast<int32_t*>(bytes);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        while (std::chrono::steady_clock::now() < end) {
            for (int i = 0; i < 12; ++i) {
                const int32_t value = random() % 2 == 0 ? static_cast<int32_t>(random() % 1300)
                                                        : static_cast<int32_t>(random());
                __atomic_store_n(&words[i], value, __ATOMIC_RELAXED);
            }
        }
        return 0;
    });
    int reads = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < end) {
        readAndCheck();
        ++reads;
    }
    EXPECT_EQ(rewriter.wait(), 0);
    EXPECT_GT(reads, 10);
}

}  // namespace
