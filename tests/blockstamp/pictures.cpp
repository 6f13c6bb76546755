#include "pictures.h"

#include <stdexcept>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace blockstamptest {

using videoecho::PatternFormat;

videoecho::FrameView Picture::view() const {
    videoecho::FrameView v;
    v.width = width;
    v.height = height;
    v.format = format;
    for (int i = 0; i < 4; ++i) {
        v.data[i] = planes[i].empty() ? nullptr : planes[i].data();
        v.lineSizes[i] = lineSizes[i];
    }
    return v;
}

Picture copyOf(const videoecho::PatternFrame& frame) {
    Picture picture;
    picture.width = frame.width();
    picture.height = frame.height();
    picture.format = videoecho::avCodeOf(frame.format());
    const bool planar =
        frame.format() == PatternFormat::yuv420p || frame.format() == PatternFormat::nv12;
    for (int i = 0; i < 4; ++i) {
        picture.lineSizes[i] = frame.lineSize(i);
        const int rows = (i > 0 && planar) ? frame.height() / 2 : frame.height();
        const auto bytes = static_cast<size_t>(frame.lineSize(i)) * rows;
        picture.planes[i].assign(frame.plane(i).begin(), frame.plane(i).begin() + bytes);
    }
    return picture;
}

Picture cardWith(const Picture& picture, int width, int height, const videoecho::Region& region) {
    Picture card;
    card.width = width;
    card.height = height;
    card.format = AV_PIX_FMT_YUV420P;
    card.lineSizes[0] = width;
    card.lineSizes[1] = card.lineSizes[2] = width / 2;
    card.planes[0].assign(static_cast<size_t>(width) * height, 16);
    card.planes[1].assign(static_cast<size_t>(width / 2) * (height / 2), 128);
    card.planes[2].assign(static_cast<size_t>(width / 2) * (height / 2), 128);

    SwsContext* scaler = sws_getContext(
        picture.width, picture.height, static_cast<AVPixelFormat>(picture.format), region.width,
        region.height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler == nullptr) {
        throw std::runtime_error("swscale refused the conversion");
    }
    const uint8_t* source[4] = {};
    for (int i = 0; i < 4; ++i) {
        source[i] = picture.planes[i].empty() ? nullptr : picture.planes[i].data();
    }
    uint8_t* target[4] = {
        card.planes[0].data() + static_cast<size_t>(region.y) * width + region.x,
        card.planes[1].data() + static_cast<size_t>(region.y / 2) * (width / 2) + region.x / 2,
        card.planes[2].data() + static_cast<size_t>(region.y / 2) * (width / 2) + region.x / 2,
        nullptr};
    sws_scale(scaler, source, picture.lineSizes, 0, picture.height, target, card.lineSizes);
    sws_freeContext(scaler);
    return card;
}

}  // namespace blockstamptest
