// The block stamp read back from pictures as drawn in every channel format, and refused whenever
// any part of it is damaged. (Through scaling into a card's region and a real H.264 encode and
// decode: tests/videoecho.)
#include <gtest/gtest.h>

#include <vector>

#include "blockstamp.h"
#include "pattern.h"

namespace {

using videoecho::BlockStamp;
using videoecho::PatternFormat;
using videoecho::PatternFrame;
using videoecho::readBlockStamp;
using videoecho::Region;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

TEST(BlockStamp, ReadsBackWhatWasDrawnInEveryFormat) {
    for (const PatternFormat format :
         {PatternFormat::rgba, PatternFormat::bgra, PatternFormat::yuv420p, PatternFormat::nv12}) {
        PatternFrame frame(format, kWidth, kHeight, 30);
        // Frame numbers across the 32-bit wrap, send times with high bits set.
        for (uint32_t i = 0; i < 24; ++i) {
            const BlockStamp stamp{0xfffffff4U + i,
                                   static_cast<int64_t>(0x0123456789abcdefULL + i * 33'333'333ULL)};
            frame.draw(i * 7);
            frame.stamp({1, stamp.frame, stamp.sentNs});
            const auto read = readBlockStamp(videoecho::viewOf(frame.frame()));
            ASSERT_TRUE(read.has_value()) << videoecho::nameOf(format) << ", picture " << i;
            EXPECT_EQ(*read, stamp) << videoecho::nameOf(format) << ", picture " << i;
        }
    }
}

// A damaged block of the stamp (here, one of the frame number's) makes it unreadable, never read
// as another stamp; so are pictures that carry no stamp and regions too small to hold one.
TEST(BlockStamp, RefusesWhatItCannotVouchFor) {
    PatternFrame frame(PatternFormat::yuv420p, kWidth, kHeight, 30);
    frame.draw(5);
    EXPECT_FALSE(readBlockStamp(videoecho::viewOf(frame.frame())).has_value()) << "unstamped";
    frame.stamp({1, 5, 123456789});
    videoecho::FrameView view = videoecho::viewOf(frame.frame());
    ASSERT_TRUE(readBlockStamp(view).has_value());
    EXPECT_FALSE(readBlockStamp(view, Region{0, 0, 40, 20}).has_value());
    EXPECT_FALSE(readBlockStamp(view, Region{kWidth / 2, 0, kWidth, kHeight}).has_value());
    // Block 12 of the stamp's second row, where the drawing places it: fractions of the picture.
    std::vector<uint8_t> luma = frame.plane(0);
    const int stride = frame.lineSize(0);
    const int rowEdge =
        (videoecho::kBlocksDown - videoecho::kBlockRows + 1) * kHeight / videoecho::kBlocksDown;
    const int columnEdge = 12 * kWidth / videoecho::kBlocksAcross;
    const uint8_t flipped =
        luma[static_cast<size_t>(rowEdge) * stride + columnEdge] > 128 ? 16 : 235;
    for (int y = rowEdge; y < rowEdge + kHeight / videoecho::kBlocksDown; ++y) {
        for (int x = columnEdge; x < columnEdge + kWidth / videoecho::kBlocksAcross; ++x) {
            luma[static_cast<size_t>(y) * stride + x] = flipped;
        }
    }
    view.data[0] = luma.data();
    EXPECT_FALSE(readBlockStamp(view).has_value());
}

}  // namespace
