#include "channellayout.h"

namespace tarn::mediadispatch::channel {

int64_t planeBytes(int32_t height, int32_t linesize) {
    if (linesize < 0) {
        return -1;
    }
    if (linesize == 0 || height == 0) {
        return 0;
    }
    if (height < 0) {
        return -1;
    }
    return static_cast<int64_t>(height) * static_cast<int64_t>(linesize);
}

int64_t frameBytes(const ShmFrameHeader& header) {
    int64_t total = kShmFrameHeaderSize;
    for (int i = 0; i < kShmPlaneCount; ++i) {
        const int64_t size = planeBytes(header.height, header.linesize[i]);
        if (size < 0) {
            return -1;
        }
        total += size;  // eight planes of below 2^62 each: no wrap
    }
    return total;
}

FrameLayout layoutOf(const ShmFrameHeader& header, uint64_t mappedSize) {
    FrameLayout layout;
    // Each plane is below 2^62 and there are eight of them, so this sum cannot wrap either.
    uint64_t position = kShmFrameHeaderSize;
    for (int i = 0; i < kShmPlaneCount; ++i) {
        const int64_t size = planeBytes(header.height, header.linesize[i]);
        if (size < 0) {
            return FrameLayout{};
        }
        layout.planes[i].offset = position;
        layout.planes[i].size = static_cast<uint64_t>(size);
        position += static_cast<uint64_t>(size);
    }
    if (position > mappedSize) {
        return FrameLayout{};
    }
    layout.valid = true;
    layout.total = position;
    return layout;
}

}  // namespace tarn::mediadispatch::channel
