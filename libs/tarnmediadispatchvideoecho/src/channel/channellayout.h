// Where the planes of a frame lie in the channel, computed in 64 bits so that no product or sum of
// 32-bit header fields can wrap. The reader uses it to validate an untrusted header snapshot; the
// writer uses planeBytes for frames the host hands it.
#pragma once

#include <cstdint>

#include <tarnmediadispatchvideoecho/shmframeheader.h>

namespace tarn::mediadispatch::channel {

// height * linesize, or -1 for a negative line size, or a negative height under a line size: such
// a plane has no meaningful size and must be neither allocated nor copied. A plane without a line
// size is absent (0) whatever the height.
int64_t planeBytes(int32_t height, int32_t linesize);

// 48 + the bytes of all planes, or -1 when some plane has no meaningful size.
int64_t frameBytes(const ShmFrameHeader& header);

struct PlaneSpan {
    uint64_t offset = 0;
    uint64_t size = 0;  // 0: the plane is absent
};

struct FrameLayout {
    bool valid = false;  // every plane has a size and the whole frame lies inside the mapped size
    uint64_t total = 0;  // 48 + all plane sizes (when valid)
    PlaneSpan planes[kShmPlaneCount];
};

FrameLayout layoutOf(const ShmFrameHeader& header, uint64_t mappedSize);

}  // namespace tarn::mediadispatch::channel
