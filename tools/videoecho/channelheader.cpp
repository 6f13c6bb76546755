#include "channelheader.h"

#include <cstring>

#include <shm/shmhandle.h>

#include "quietstderr.h"

namespace videoecho {

ChannelLook lookAtChannel(const std::string& key, bool quiet) {
    ChannelLook look;
    shm::ShmHandle segment;
    {
        QuietStderr silence(quiet);
        if (!segment.acquire(key, 1, shm::ShmMode::open)) {
            return look;
        }
    }
    look.exists = true;
    look.mappedSize = segment.mappedSize();
    const auto* base = static_cast<const uint8_t*>(segment.mappedAddress());
    if (base == nullptr || look.mappedSize < tarn::mediadispatch::kShmFrameHeaderSize) {
        return look;
    }
    std::memcpy(&look.header, base, sizeof(look.header));
    if (look.header.linesize[0] >= kStampBytes && look.header.height > 0 &&
        look.mappedSize >= tarn::mediadispatch::kShmFrameHeaderSize + kStampBytes) {
        std::memcpy(look.stampBytes, base + tarn::mediadispatch::kShmFrameHeaderSize, kStampBytes);
        look.haveStampBytes = true;
    }
    return look;
}

long long frameTotalOf(const tarn::mediadispatch::ShmFrameHeader& header) {
    long long total = tarn::mediadispatch::kShmFrameHeaderSize;
    for (int i = 0; i < tarn::mediadispatch::kShmPlaneCount; ++i) {
        const long long plane = static_cast<long long>(header.height) * header.linesize[i];
        if (plane < 0) {
            return -1;
        }
        total += plane;
    }
    return total;
}

}  // namespace videoecho
