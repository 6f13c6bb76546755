// A private copy of a frame that a reader got, so that it outlives the reader's next read (the
// player refills one frame object every time). One thread uses it.
#pragma once

#include <vector>

#include "pattern.h"

namespace videoecho {

class FrameCopy {
public:
    void assign(const FrameView& view);
    bool empty() const { return !held_; }
    const FrameView& view() const { return view_; }

private:
    bool held_ = false;
    FrameView view_;
    std::vector<uint8_t> planes_[8];
};

}  // namespace videoecho
