// ShmFrameHeader: the fixed header of a shared-memory frame channel, mirrored as a plain struct.
// The channel is written by one process and read by others; the reader treats every field as
// untrusted. Plain data; no locking of its own.
//
// Channel layout (one named segment, all integers little-endian):
//   channel := header plane[0] ... plane[7] [unused rest of the mapped region]
//   header  := linesize[8] width height format fps          (each a signed 32-bit; 48 bytes)
//   plane i := height * linesize[i] bytes, whole rows with their padding; absent when that is 0
// The planes are packed one after another from offset 48 with no gaps and no alignment. A frame
// fits when 48 + sum(height * linesize[i]) is no larger than the mapped size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn::mediadispatch {

constexpr int kShmPlaneCount = 8;

struct ShmFrameHeader {
    int32_t linesize[kShmPlaneCount];
    int32_t width;
    int32_t height;
    int32_t format;
    int32_t fps;  // the low 32 bits of the frame's rate
};

constexpr uint32_t kShmFrameHeaderSize = 48;

static_assert(sizeof(ShmFrameHeader) == kShmFrameHeaderSize);
static_assert(offsetof(ShmFrameHeader, width) == 32);
static_assert(offsetof(ShmFrameHeader, height) == 36);
static_assert(offsetof(ShmFrameHeader, format) == 40);
static_assert(offsetof(ShmFrameHeader, fps) == 44);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the channel is little-endian and written with native stores");

}  // namespace tarn::mediadispatch
