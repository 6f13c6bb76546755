// A frame stamp that survives lossy video coding and scaling: the frame number and the send time
// drawn as a grid of large black and white blocks in the bottom-left corner of a picture. Block
// edges are fixed fractions of the picture's size, so a picture scaled into a region of another
// (the echo server's card) is read by naming that region. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "pattern.h"
#include "pixelformat.h"

namespace videoecho {

struct BlockStamp {
    uint32_t frame = 0;
    int64_t sentNs = 0;  // CLOCK_MONOTONIC

    bool operator==(const BlockStamp& other) const {
        return frame == other.frame && sentNs == other.sentNs;
    }
};

// A rectangle of a picture, in pixels.
struct Region {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The grid covers the left third of the width and the bottom 8/27 of the height; a block is a
// 48th of the width by a 27th of the height (square in a 16:9 picture).
constexpr int kBlockColumns = 16;
constexpr int kBlockRows = 8;
constexpr int kBlocksAcross = 48;
constexpr int kBlocksDown = 27;

// Whether a picture of this size holds blocks of at least 2x2 pixels.
bool fitsBlockStamp(int width, int height);

// Draws `stamp` into the planes of a picture of `format` (planes and line sizes as the channel
// carries them). Returns false and draws nothing when the picture is too small.
bool drawBlockStamp(PatternFormat format, uint8_t* const planes[], const int lineSizes[], int width,
                    int height, const BlockStamp& stamp);

// Reads the stamp of the picture scaled into `region` of `view` (rgba, bgra, yuv420p or nv12).
// Returns nothing when the region holds no intact stamp: a wrong sync marker or check value, an
// unreadable format or a region too small. Never returns a stamp that was not drawn.
std::optional<BlockStamp> readBlockStamp(const FrameView& view, const Region& region);
std::optional<BlockStamp> readBlockStamp(const FrameView& view);

}  // namespace videoecho
