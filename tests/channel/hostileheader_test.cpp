// The header in shared memory is written by another process and is not trusted: whatever it
// says, the player must not read or write outside the segment or its buffers, nor allocate more
// than the segment holds. Run under AddressSanitizer to turn any such access into a failure.
#include <tarnmediadispatchvideoecho/channelinspection.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <random>

#include <malloc.h>

#include <gtest/gtest.h>
#include <shm/shmhandle.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using qv::mediacore::IFrame;
using tarn::mediadispatch::ShmFrameHeader;
using vantor::mediadispatch::SharedMemoryPlayer;

constexpr int64_t kMapped = 1642496;
constexpr int32_t kRest = static_cast<int32_t>(kMapped - 48);

ShmFrameHeader header(int32_t height, std::initializer_list<int32_t> linesizes) {
    ShmFrameHeader h{};
    std::copy(linesizes.begin(), linesizes.end(), h.linesize);
    h.width = 1;
    h.height = height;
    return h;
}

class HostileHeader : public testing::Test {
protected:
    void SetUp() override {
        // A foreign writer: it holds the segment and writes raw bytes into it.
        ASSERT_TRUE(segment.acquire(name, 1638448, shm::ShmMode::create));
        bytes = static_cast<uint8_t*>(segment.mappedAddress());
        for (int64_t i = 48; i < kMapped; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 13);
        }
        player.play(0, 0);
    }
    void TearDown() override {
        segment.release();
        channeltest::expectGone(name);
    }
    void poke(const ShmFrameHeader& h) { std::memcpy(bytes, &h, sizeof h); }

    // Reads once and checks that any returned frame lies inside the segment and that its buffers
    // hold it without being larger than the segment; true when a frame came back.
    bool readAndCheck() {
        const IFrame* frame = player.getFrame(0);
        if (frame == nullptr) {
            return false;
        }
        int64_t offset = 48;
        for (int i = 0; i < 8; ++i) {
            const int64_t size = int64_t{frame->getHeight()} * frame->kframe()->linesize[i];
            EXPECT_GE(frame->kframe()->linesize[i], 0);
            if (size == 0) {
                continue;
            }
            offset += size;
            EXPECT_LE(offset, kMapped);
            if (frame->kframe()->data[i] == nullptr) {
                ADD_FAILURE() << "plane " << i << " without a buffer";
                return true;
            }
            const size_t usable = malloc_usable_size(frame->kframe()->data[i]);
            EXPECT_GE(usable, static_cast<size_t>(size));
            EXPECT_LE(usable, static_cast<size_t>(kMapped) + 4096);
        }
        return true;
    }

    const std::string name = channeltest::freshName("hostile");
    testsupport::LogCapture log;  // keeps the player's lines off the console
    shm::ShmHandle segment;
    uint8_t* bytes = nullptr;
    SharedMemoryPlayer player{nullptr, name};
};

TEST_F(HostileHeader, HeadersThatDescribeNoFrameInsideTheSegmentAreRefused) {
    constexpr int32_t k29 = 1 << 29;
    const struct {
        const char* what;
        ShmFrameHeader header;
        bool accepted;
    } cases[] = {
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
    for (const auto& c : cases) {
        poke(c.header);
        EXPECT_EQ(readAndCheck(), c.accepted) << c.what;
        // The tools look at a channel through the same rules.
        EXPECT_EQ(tarn::mediadispatch::inspectChannel(name).frameFits, c.accepted) << c.what;
    }
    poke(header(1, {kRest}));
    const IFrame* frame = player.getFrame(0);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(std::memcmp(frame->kframe()->data[0], bytes + 48, kRest), 0);

    // Random headers, from boundary values and from small plausible ones.
    std::mt19937 random(20240611);
    const int32_t boundaries[] = {0,     1,       -1,        2,         16,    2560,      65535,
                                  65536, 1 << 29, INT32_MAX, INT32_MIN, kRest, kRest + 1, -65536};
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        auto pick = [&]() -> int32_t {
            return round % 2 == 0 ? boundaries[random() % std::size(boundaries)]
                                  : static_cast<int32_t>(random() % 700) - 20;
        };
        ShmFrameHeader h{};
        for (int32_t& size : h.linesize) {
            size = random() % 3 == 0 ? 0 : pick();
        }
        h.width = pick();
        h.height = pick();
        h.format = pick();
        poke(h);
        accepted += readAndCheck() ? 1 : 0;
    }
    EXPECT_GT(accepted, 0) << "the generator must also produce frames that fit";
}

TEST_F(HostileHeader, HeaderRewrittenDuringReadsByAnotherProcessNeverBreaksThePlayer) {
    testsupport::ChildProcess rewriter([&] {
        std::mt19937 random(7);
        auto* words = reinterpret_cast<int32_t*>(bytes);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        while (std::chrono::steady_clock::now() < end) {
            const int32_t value = random() % 2 == 0 ? static_cast<int32_t>(random() % 1300)
                                                    : static_cast<int32_t>(random());
            __atomic_store_n(&words[random() % 12], value, __ATOMIC_RELAXED);
        }
        return 0;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    while (std::chrono::steady_clock::now() < end) {
        readAndCheck();
    }
    EXPECT_EQ(rewriter.wait(), 0);
}

}  // namespace
