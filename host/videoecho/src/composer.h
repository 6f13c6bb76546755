// Paints a card picture in I420 from source frames scaled into normalised regions: black first,
// then each region in order, so later regions lie on top. Owned by one card stream and used by its
// composing thread only (keeps one scaler per region between calls).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <echorecords/echorecords.h>
#include <host/iframe.h>

namespace tarn::mediadispatch {

struct I420Picture {
    uint8_t* planes[3] = {};
    int strides[3] = {};
    int width = 0;
    int height = 0;
};

struct ComposeRegion {
    RegionRect rect;                               // fractions of the card's width and height
    const qv::mediacore::IFrame* frame = nullptr;  // null = black
};

class Composer {
public:
    Composer();
    ~Composer();
    Composer(const Composer&) = delete;
    Composer& operator=(const Composer&) = delete;

    void compose(const I420Picture& target, const std::vector<ComposeRegion>& regions);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
