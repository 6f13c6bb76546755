#include "pixelformat.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
}

#include <fmt/format.h>

namespace videoecho {

namespace {

struct FormatEntry {
    PatternFormat format;
    const char* name;
    AVPixelFormat code;
};

constexpr FormatEntry kFormats[] = {
    {PatternFormat::rgba, "rgba", AV_PIX_FMT_RGBA},
    {PatternFormat::bgra, "bgra", AV_PIX_FMT_BGRA},
    {PatternFormat::yuv420p, "yuv420p", AV_PIX_FMT_YUV420P},
    {PatternFormat::nv12, "nv12", AV_PIX_FMT_NV12},
};

// The stamp (pattern.h) needs 28 bytes of the first row of plane 0.
constexpr int kMinWidth = 32;
constexpr int kMinHeight = 16;

}  // namespace

std::optional<PatternFormat> formatByName(const std::string& name) {
    for (const auto& f : kFormats) {
        if (name == f.name) {
            return f.format;
        }
    }
    return std::nullopt;
}

std::optional<PatternFormat> formatByAvCode(int code) {
    for (const auto& f : kFormats) {
        if (code == f.code) {
            return f.format;
        }
    }
    return std::nullopt;
}

const char* nameOf(PatternFormat format) {
    for (const auto& f : kFormats) {
        if (format == f.format) {
            return f.name;
        }
    }
    return "?";
}

int avCodeOf(PatternFormat format) {
    for (const auto& f : kFormats) {
        if (format == f.format) {
            return f.code;
        }
    }
    return AV_PIX_FMT_NONE;
}

std::string avFormatName(int code) {
    if (code < 0 || code >= AV_PIX_FMT_NB) {
        return "unknown";
    }
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(code));
    return name != nullptr ? name : "unknown";
}

void lineSizesOf(PatternFormat format, int width, int lineSizes[8]) {
    for (int i = 0; i < 8; ++i) {
        lineSizes[i] = 0;
    }
    switch (format) {
        case PatternFormat::rgba:
        case PatternFormat::bgra:
            lineSizes[0] = width * 4;
            break;
        case PatternFormat::yuv420p:
            lineSizes[0] = width;
            lineSizes[1] = width / 2;
            lineSizes[2] = width / 2;
            break;
        case PatternFormat::nv12:
            lineSizes[0] = width;
            lineSizes[1] = width;
            break;
    }
}

long long frameBytes(PatternFormat format, int width, int height) {
    int lineSizes[8];
    lineSizesOf(format, width, lineSizes);
    long long total = 0;
    for (int l : lineSizes) {
        total += static_cast<long long>(l) * height;
    }
    return total;
}

std::string geometryProblem(PatternFormat format, int width, int height) {
    if (width < kMinWidth || height < kMinHeight) {
        return fmt::format("a frame needs at least {}x{} pixels", kMinWidth, kMinHeight);
    }
    if ((format == PatternFormat::yuv420p || format == PatternFormat::nv12) &&
        (width % 2 != 0 || height % 2 != 0)) {
        return fmt::format("{} needs an even width and height", nameOf(format));
    }
    return {};
}

}  // namespace videoecho
