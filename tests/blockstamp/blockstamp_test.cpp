// The block stamp read back from pictures as a viewer gets them: the channel's formats as drawn,
// scaled by half into a region of a card, and decoded after x264 at the echo server's settings.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blockstamp.h"
#include "h264roundtrip.h"
#include "pattern.h"
#include "pictures.h"

namespace {

using blockstamptest::cardWith;
using blockstamptest::copyOf;
using blockstamptest::Picture;
using blockstamptest::throughH264;
using videoecho::BlockStamp;
using videoecho::PatternFormat;
using videoecho::PatternFrame;
using videoecho::readBlockStamp;
using videoecho::Region;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kFps = 30;
constexpr int kFrames = 24;
const PatternFormat kFormats[] = {PatternFormat::rgba, PatternFormat::bgra, PatternFormat::yuv420p,
                                  PatternFormat::nv12};

// Stamps that use every byte: frame numbers across the 32-bit wrap, a send time with high bits.
BlockStamp stampOf(int i) {
    return {0xfffffff4U + static_cast<uint32_t>(i),
            static_cast<int64_t>(0x0123456789abcdefULL + static_cast<uint64_t>(i) * 33'333'333)};
}

// Moving pattern frames of `format` with the stamps of stampOf(0...).
std::vector<Picture> stampedPictures(PatternFormat format, int width, int height, int count) {
    std::vector<Picture> pictures;
    PatternFrame frame(format, width, height, kFps);
    for (int i = 0; i < count; ++i) {
        const BlockStamp stamp = stampOf(i);
        frame.draw(static_cast<uint64_t>(i) * 7);
        frame.stamp({1, stamp.frame, stamp.sentNs});
        pictures.push_back(copyOf(frame));
    }
    return pictures;
}

void expectStamps(const std::vector<Picture>& pictures, const std::optional<Region>& region,
                  const std::string& what) {
    for (size_t i = 0; i < pictures.size(); ++i) {
        const auto view = pictures[i].view();
        const auto stamp = region ? readBlockStamp(view, *region) : readBlockStamp(view);
        ASSERT_TRUE(stamp.has_value()) << what << ", picture " << i;
        EXPECT_EQ(*stamp, stampOf(static_cast<int>(i))) << what << ", picture " << i;
    }
}

struct Path {
    const char* name;
    bool halfIntoCard;  // scaled by half into the bottom-right quarter of a card of the same size
    bool h264;
};

TEST(BlockStamp, SurvivesEveryFormatScalingAndH264) {
    const Path paths[] = {{"as drawn", false, false},
                          {"half size in a card", true, false},
                          {"through H.264", false, true},
                          {"half size in a card, through H.264", true, true}};
    const Region quarter{kWidth / 2, kHeight / 2, kWidth / 2, kHeight / 2};
    for (const PatternFormat format : kFormats) {
        const auto drawn = stampedPictures(format, kWidth, kHeight, kFrames);
        for (const Path& path : paths) {
            const std::string what = std::string(videoecho::nameOf(format)) + ", " + path.name;
            std::vector<Picture> pictures = drawn;
            std::optional<Region> region;
            if (path.halfIntoCard) {
                for (auto& picture : pictures) {
                    picture = cardWith(picture, kWidth, kHeight, quarter);
                }
                region = quarter;
            }
            if (path.h264) {
                pictures = throughH264(pictures, kFps, 2048);
                ASSERT_EQ(pictures.size(), drawn.size()) << what;
            }
            expectStamps(pictures, region, what);
        }
    }
}

// A damaged block anywhere (sync marker, frame number, send time, check value) is refused, never
// read as another stamp; so are pictures that carry no stamp and regions too small to hold one.
TEST(BlockStamp, RefusesWhatItCannotVouchFor) {
    auto picture = stampedPictures(PatternFormat::yuv420p, kWidth, kHeight, 1).front();
    ASSERT_TRUE(readBlockStamp(picture.view()).has_value());
    // Block edges as the drawing places them: fractions of the picture's size.
    const auto columnEdge = [](int i) { return i * kWidth / videoecho::kBlocksAcross; };
    const auto rowEdge = [](int j) {
        return (videoecho::kBlocksDown - videoecho::kBlockRows + j) * kHeight /
               videoecho::kBlocksDown;
    };
    struct Damage {
        const char* what;
        int column;
        int row;
    };
    const Damage damages[] = {{"sync marker", 0, 0},
                              {"frame number", 12, 1},
                              {"send time", 5, 4},
                              {"check value", 15, 7}};
    for (const Damage& damage : damages) {
        Picture damaged = picture;
        const int x0 = columnEdge(damage.column);
        const int y0 = rowEdge(damage.row);
        uint8_t* row = damaged.planes[0].data() + static_cast<size_t>(y0) * damaged.lineSizes[0];
        const uint8_t flipped = row[x0] > 128 ? 16 : 235;
        for (int y = y0; y < rowEdge(damage.row + 1); ++y) {
            for (int x = x0; x < columnEdge(damage.column + 1); ++x) {
                damaged.planes[0][static_cast<size_t>(y) * damaged.lineSizes[0] + x] = flipped;
            }
        }
        EXPECT_FALSE(readBlockStamp(damaged.view()).has_value()) << damage.what;
    }

    PatternFrame unstamped(PatternFormat::rgba, kWidth, kHeight, kFps);
    unstamped.draw(3);
    EXPECT_FALSE(readBlockStamp(copyOf(unstamped).view()).has_value());
    EXPECT_FALSE(readBlockStamp(picture.view(), Region{0, 0, 40, 20}).has_value());
    EXPECT_FALSE(
        readBlockStamp(picture.view(), Region{kWidth / 2, 0, kWidth, kHeight}).has_value());
}

}  // namespace
