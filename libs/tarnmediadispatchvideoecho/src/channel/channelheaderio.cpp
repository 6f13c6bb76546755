#include "channelheaderio.h"

#include <cstring>

namespace tarn::mediadispatch::channel {

namespace {

constexpr int kWords = kShmFrameHeaderSize / sizeof(int32_t);

}  // namespace

ShmFrameHeader readHeader(const void* segment) {
    const auto* words = static_cast<const int32_t*>(segment);
    int32_t snapshot[kWords];
    for (int i = 0; i < kWords; ++i) {
        snapshot[i] = __atomic_load_n(&words[i], __ATOMIC_RELAXED);
    }
    ShmFrameHeader header;
    std::memcpy(&header, snapshot, sizeof header);
    return header;
}

void writeHeader(void* segment, const ShmFrameHeader& header) {
    int32_t words[kWords];
    std::memcpy(words, &header, sizeof words);
    auto* out = static_cast<int32_t*>(segment);
    for (int i = 0; i < kWords; ++i) {
        __atomic_store_n(&out[i], words[i], __ATOMIC_RELAXED);
    }
}

}  // namespace tarn::mediadispatch::channel
