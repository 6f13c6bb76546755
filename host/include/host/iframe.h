// Media-core frame records: `STAVFrame` (plane pointers and line sizes) and `IFrame`, a video frame
// that owns its `STAVFrame` record but not the pixel buffers the record points at. Not thread-safe:
// one owner uses a frame at a time.
#pragma once

#include <cstdint>
#include <memory>

namespace qv::mediacore {

constexpr int kMaxPlanes = 8;

struct STAVFrame {
    uint8_t* data[kMaxPlanes] = {};
    int linesize[kMaxPlanes] = {};
};

// Opaque description of a media; passed along, never looked into by the echo library.
class IMeta {
public:
    virtual ~IMeta() = default;
};

class IFrame {
public:
    IFrame();
    virtual ~IFrame();
    IFrame(const IFrame&) = delete;
    IFrame& operator=(const IFrame&) = delete;

    int getWidth() const { return width_; }
    int getHeight() const { return height_; }
    int format() const { return format_; }
    uint64_t getFps() const { return fps_; }

    void setWidth(int width) { width_ = width; }
    void setHeight(int height) { height_ = height; }
    void setFormat(int format) { format_ = format; }
    void setFps(uint64_t fps) { fps_ = fps; }

    // The frame's own record, the same object at every call and writable through it.
    std::shared_ptr<STAVFrame> kframe() const { return record_; }

private:
    std::shared_ptr<STAVFrame> record_;
    int width_ = 0;
    int height_ = 0;
    int format_ = 0;
    uint64_t fps_ = 0;
};

}  // namespace qv::mediacore
