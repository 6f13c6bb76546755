// Pictures owned by a test: copies of pattern frames in a packed layout, and a card that holds
// a picture scaled into one of its regions (as the echo server composes its sources).
#pragma once

#include <cstdint>
#include <vector>

#include "blockstamp.h"
#include "pattern.h"

namespace blockstamptest {

struct Picture {
    int width = 0;
    int height = 0;
    int format = -1;  // AVPixelFormat code
    std::vector<uint8_t> planes[4];
    int lineSizes[4] = {};

    videoecho::FrameView view() const;
};

// The pattern frame's planes with chroma planes cut to their real height.
Picture copyOf(const videoecho::PatternFrame& frame);

// A black yuv420p card of `width` x `height` with `picture` scaled into `region`.
Picture cardWith(const Picture& picture, int width, int height, const videoecho::Region& region);

}  // namespace blockstamptest
