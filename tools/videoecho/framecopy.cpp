#include "framecopy.h"

namespace videoecho {

void FrameCopy::assign(const FrameView& view) {
    view_ = view;
    for (int i = 0; i < 8; ++i) {
        const long long size = static_cast<long long>(view.lineSizes[i]) * view.height;
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
