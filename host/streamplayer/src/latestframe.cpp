#include "latestframe.h"

#include <utility>

namespace qv::streammediaplayercore {

namespace {

void swapPictures(Picture& a, Picture& b) {
    std::swap(a.width, b.width);
    std::swap(a.height, b.height);
    std::swap(a.fps, b.fps);
    std::swap(a.number, b.number);
    for (int i = 0; i < kPicturePlanes; ++i) {
        a.planes[i].swap(b.planes[i]);
        std::swap(a.lineSizes[i], b.lineSizes[i]);
    }
}

}  // namespace

void LatestFrame::publish() {
    std::lock_guard<std::mutex> guard(mutex_);
    spare_.number = ++count_;
    swapPictures(spare_, ready_);
    fresh_ = true;
}

bool LatestFrame::takeNewest(Picture& shown) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!fresh_) {
        return false;
    }
    swapPictures(shown, ready_);
    fresh_ = false;
    return true;
}

uint64_t LatestFrame::published() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
}

}  // namespace qv::streammediaplayercore
