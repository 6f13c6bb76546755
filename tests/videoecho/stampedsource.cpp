#include "stampedsource.h"

#include <algorithm>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace videoechotest {

namespace {

constexpr int kBits = 16;
constexpr int kColumns = 8;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct StampedSource::Media {
    uint8_t grey = 128;
    uint64_t drawn = UINT64_MAX;
    std::vector<uint8_t> planes;
};

StampedSource::StampedSource(int width, int height, double fps)
    : width_(width), height_(height), fps_(fps), start_(nowNs()) {}

void StampedSource::add(uint64_t mediaId, uint8_t grey) {
    auto media = std::make_shared<Media>();
    media->grey = grey;
    media->planes.resize(static_cast<size_t>(width_ * height_ * 3 / 2));
    std::lock_guard<std::mutex> lock(mutex_);
    media_[mediaId] = media;
}

void StampedSource::remove(uint64_t mediaId) {
    std::lock_guard<std::mutex> lock(mutex_);
    media_.erase(mediaId);
}

tarn::mediadispatch::VideoEchoSourceCallBack StampedSource::callback() {
    return [this](const uint64_t& mediaId, void** slot) { return answer(mediaId, slot); };
}

uint64_t StampedSource::asked(uint64_t mediaId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = asked_.find(mediaId);
    return found == asked_.end() ? 0 : found->second;
}

uint64_t StampedSource::newestStamp() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return newestStamp_;
}

void** StampedSource::answer(uint64_t mediaId, void** slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++asked_[mediaId];
    const auto found = media_.find(mediaId);
    if (found == media_.end() || slot == nullptr || *slot == nullptr) {
        return nullptr;
    }
    Media& media = *found->second;
    const auto number = static_cast<uint64_t>(static_cast<double>(nowNs() - start_) * 1e-9 * fps_);
    if (number != media.drawn) {
        uint8_t* luma = media.planes.data();
        std::memset(luma, media.grey, static_cast<size_t>(width_ * height_));
        std::memset(luma + width_ * height_, 128, static_cast<size_t>(width_ * height_ / 2));
        const int blockWidth = width_ / kColumns;
        const int blockHeight = height_ / 8;
        const auto stamp = static_cast<uint32_t>(number);
        for (int bit = 0; bit < kBits; ++bit) {
            const uint8_t value = (stamp >> bit) & 1U ? 235 : 16;
            const int x = (bit % kColumns) * blockWidth;
            const int y = (bit / kColumns) * blockHeight;
            for (int row = y; row < y + blockHeight; ++row) {
                std::memset(luma + row * width_ + x, value, static_cast<size_t>(blockWidth));
            }
        }
        media.drawn = number;
        newestStamp_ = std::max(newestStamp_, number);
    }
    auto* frame = static_cast<tarn::mediadispatch::VideoEchoSourceFrame*>(*slot);
    frame->frame->setWidth(width_);
    frame->frame->setHeight(height_);
    frame->frame->setFormat(AV_PIX_FMT_YUV420P);
    auto record = frame->frame->kframe();
    record->data[0] = media.planes.data();
    record->data[1] = media.planes.data() + width_ * height_;
    record->data[2] = media.planes.data() + width_ * height_ * 5 / 4;
    record->linesize[0] = width_;
    record->linesize[1] = width_ / 2;
    record->linesize[2] = width_ / 2;
    frame->sequence = media.drawn;
    return slot;
}

uint32_t StampedSource::readStamp(const uint8_t* luma, int width, int height) {
    const int blockWidth = width / kColumns;
    const int blockHeight = height / 8;
    uint32_t stamp = 0;
    for (int bit = 0; bit < kBits; ++bit) {
        const int x = (bit % kColumns) * blockWidth + blockWidth / 2;
        const int y = (bit / kColumns) * blockHeight + blockHeight / 2;
        if (luma[y * width + x] > 128) {
            stamp |= 1U << bit;
        }
    }
    return stamp;
}

}  // namespace videoechotest
