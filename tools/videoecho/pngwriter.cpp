#include "pngwriter.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}
#include <png.h>

#include <fmt/format.h>

#include "cli.h"
#include "pixelformat.h"

namespace videoecho {

namespace {

struct SwsDeleter {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

// Owns libpng's write and info structs.
class PngWriteStruct {
public:
    PngWriteStruct() {
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        if (png_ != nullptr) {
            info_ = png_create_info_struct(png_);
        }
    }
    ~PngWriteStruct() { png_destroy_write_struct(&png_, info_ != nullptr ? &info_ : nullptr); }
    PngWriteStruct(const PngWriteStruct&) = delete;
    PngWriteStruct& operator=(const PngWriteStruct&) = delete;

    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

void checkFrame(const FrameView& frame) {
    if (frame.width <= 0 || frame.height <= 0 || frame.width > 16384 || frame.height > 16384) {
        throw RunError(fmt::format("frame size {}x{} cannot be written as a picture", frame.width,
                                   frame.height));
    }
    const auto format = static_cast<AVPixelFormat>(frame.format);
    if (frame.format < 0 || frame.format >= AV_PIX_FMT_NB || !sws_isSupportedInput(format)) {
        throw RunError(fmt::format("pixel format {} ({}) cannot be converted", frame.format,
                                   avFormatName(frame.format)));
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0 ||
        (desc->flags & AV_PIX_FMT_FLAG_BITSTREAM) != 0) {
        throw RunError(
            fmt::format("pixel format {} cannot be converted", avFormatName(frame.format)));
    }
    // A paletted frame would need its palette as a plane of its own, which the channel's header
    // does not describe: the conversion would read it from wherever plane 1 points.
    if ((desc->flags & AV_PIX_FMT_FLAG_PAL) != 0) {
        throw RunError(
            fmt::format("paletted pixel format {} cannot be converted: the channel "
                        "carries no palette",
                        avFormatName(frame.format)));
    }
    int needed[4] = {};
    if (av_image_fill_linesizes(needed, format, frame.width) < 0) {
        throw RunError("frame geometry does not fit its pixel format");
    }
    // The channel carries each plane with the frame's full height, which covers subsampled planes.
    for (int i = 0; i < av_pix_fmt_count_planes(format) && i < 4; ++i) {
        if (frame.data[i] == nullptr || frame.lineSizes[i] < needed[i]) {
            throw RunError(fmt::format(
                "plane {} of the frame is missing or shorter than {} needs ({} < {} bytes per row)",
                i, avFormatName(frame.format), frame.lineSizes[i], needed[i]));
        }
    }
}

}  // namespace

void writePng(const FrameView& frame, const std::string& path) {
    checkFrame(frame);
    const int w = frame.width;
    const int h = frame.height;
    std::unique_ptr<SwsContext, SwsDeleter> sws(
        sws_getContext(w, h, static_cast<AVPixelFormat>(frame.format), w, h, AV_PIX_FMT_RGB24,
                       SWS_POINT, nullptr, nullptr, nullptr));
    if (!sws) {
        throw RunError(fmt::format("cannot convert {} to RGB", avFormatName(frame.format)));
    }
    const int rgbStride = w * 3;
    std::vector<uint8_t> rgb(static_cast<size_t>(rgbStride) * static_cast<size_t>(h));
    uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {rgbStride, 0, 0, 0};
    const uint8_t* src[4] = {frame.data[0], frame.data[1], frame.data[2], frame.data[3]};
    int srcStride[4] = {frame.lineSizes[0], frame.lineSizes[1], frame.lineSizes[2],
                        frame.lineSizes[3]};
    if (sws_scale(sws.get(), src, srcStride, 0, h, dst, dstStride) != h) {
        throw RunError("pixel conversion failed");
    }

    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        throw RunError(fmt::format("cannot write '{}': {}", path, std::strerror(errno)));
    }
    PngWriteStruct png;
    if (png.png() == nullptr || png.info() == nullptr) {
        throw RunError("libpng could not start");
    }
    std::vector<png_bytep> rows(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        rows[y] = rgb.data() + static_cast<size_t>(y) * rgbStride;
    }
    if (setjmp(png_jmpbuf(png.png())) != 0) {
        throw RunError(fmt::format("libpng failed to write '{}'", path));
    }
    png_init_io(png.png(), file.get());
    png_set_IHDR(png.png(), png.info(), static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png.png(), png.info());
    png_write_image(png.png(), rows.data());
    png_write_end(png.png(), nullptr);
    if (std::fflush(file.get()) != 0) {
        throw RunError(fmt::format("cannot write '{}': {}", path, std::strerror(errno)));
    }
}

}  // namespace videoecho
