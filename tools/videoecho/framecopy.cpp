#include "framecopy.h"

namespace videoecho {

namespace {

// The rows of plane `i` that hold picture: chroma planes of 4:2:0 formats have half the rows. (The
// channel carries more, but a decoder's planes end after these.)
int rowsOf(const FrameView& view, int i) {
    const auto format = formatByAvCode(view.format);
    const bool subsampled = format == PatternFormat::yuv420p || format == PatternFormat::nv12;
    return i > 0 && subsampled ? (view.height + 1) / 2 : view.height;
}

}  // namespace

void FrameCopy::assign(const FrameView& view) {
    view_ = view;
    for (int i = 0; i < 8; ++i) {
        const long long size = static_cast<long long>(view.lineSizes[i]) * rowsOf(view, i);
        if (view.data[i] == nullptr || size <= 0) {
            planes_[i].clear();
            view_.data[i] = nullptr;
            continue;
        }
        planes_[i].assign(view.data[i], view.data[i] + size);
        view_.data[i] = planes_[i].data();
    }
    held_ = true;
}

}  // namespace videoecho
