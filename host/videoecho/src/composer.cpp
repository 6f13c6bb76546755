#include "composer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace tarn::mediadispatch {

namespace {

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
};

// Even edges keep the chroma planes aligned with the luma plane.
int evenPixel(float fraction, int size) {
    const float clamped = std::clamp(std::isfinite(fraction) ? fraction : 0.0f, 0.0f, 1.0f);
    return static_cast<int>(std::lround(clamped * static_cast<float>(size) / 2.0f)) * 2;
}

PixelRect toPixels(const RegionRect& rect, int width, int height) {
    const int left = evenPixel(rect.x, width);
    const int top = evenPixel(rect.y, height);
    const int right = evenPixel(rect.x + rect.width, width);
    const int bottom = evenPixel(rect.y + rect.height, height);
    return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

void fillBlack(const I420Picture& target, const PixelRect& area) {
    for (int row = 0; row < area.height; ++row) {
        std::memset(target.planes[0] + (area.y + row) * target.strides[0] + area.x, 16, area.width);
    }
    for (int plane = 1; plane < 3; ++plane) {
        for (int row = 0; row < area.height / 2; ++row) {
            std::memset(
                target.planes[plane] + (area.y / 2 + row) * target.strides[plane] + area.x / 2, 128,
                area.width / 2);
        }
    }
}

// A frame the scaler can read: a known format and a plane pointer for each of its planes.
bool readable(const qv::mediacore::IFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format());
    if (frame.getWidth() <= 0 || frame.getHeight() <= 0 || av_pix_fmt_desc_get(format) == nullptr ||
        sws_isSupportedInput(format) <= 0) {
        return false;
    }
    const auto record = frame.kframe();
    const int planes = av_pix_fmt_count_planes(format);
    if (!record || planes <= 0 || planes > qv::mediacore::kMaxPlanes) {
        return false;
    }
    for (int plane = 0; plane < planes; ++plane) {
        if (record->data[plane] == nullptr || record->linesize[plane] == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

struct Composer::Impl {
    std::vector<SwsContext*> scalers;  // one per region index

    ~Impl() {
        for (SwsContext* scaler : scalers) {
            sws_freeContext(scaler);
        }
    }
};

Composer::Composer() : impl_(std::make_unique<Impl>()) {}
Composer::~Composer() = default;

void Composer::compose(const I420Picture& target, const std::vector<ComposeRegion>& regions) {
    fillBlack(target, PixelRect{0, 0, target.width, target.height});
    if (impl_->scalers.size() < regions.size()) {
        impl_->scalers.resize(regions.size(), nullptr);
    }
    for (size_t index = 0; index < regions.size(); ++index) {
        const ComposeRegion& region = regions[index];
        const PixelRect area = toPixels(region.rect, target.width, target.height);
        if (area.width < 2 || area.height < 2) {
            continue;
        }
        if (region.frame == nullptr || !readable(*region.frame)) {
            fillBlack(target, area);
            continue;
        }
        const auto& frame = *region.frame;
        SwsContext*& scaler = impl_->scalers[index];
        scaler = sws_getCachedContext(scaler, frame.getWidth(), frame.getHeight(),
                                      static_cast<AVPixelFormat>(frame.format()), area.width,
                                      area.height, AV_PIX_FMT_YUV420P, SWS_FAST_BILINEAR, nullptr,
                                      nullptr, nullptr);
        if (scaler == nullptr) {
            fillBlack(target, area);
            continue;
        }
        const auto record = frame.kframe();
        uint8_t* destination[4] = {target.planes[0] + area.y * target.strides[0] + area.x,
                                   target.planes[1] + (area.y / 2) * target.strides[1] + area.x / 2,
                                   target.planes[2] + (area.y / 2) * target.strides[2] + area.x / 2,
                                   nullptr};
        const int destinationStrides[4] = {target.strides[0], target.strides[1], target.strides[2],
                                           0};
        sws_scale(scaler, record->data, record->linesize, 0, frame.getHeight(), destination,
                  destinationStrides);
    }
}

}  // namespace tarn::mediadispatch
