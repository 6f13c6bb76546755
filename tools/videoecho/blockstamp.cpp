#include "blockstamp.h"

#include <array>
#include <cmath>

extern "C" {
#include <libavutil/crc.h>
}

namespace videoecho {

namespace {

// 16 bytes = 128 blocks: sync marker, frame number, send time, 24-bit CRC of the first 13 bytes.
constexpr int kStampBytes = 16;
constexpr int kCheckedBytes = 13;
constexpr uint8_t kSyncMarker = 0xb4;
static_assert(kStampBytes * 8 == kBlockColumns * kBlockRows);

// Limited-range luma of black and white, and the threshold halfway between them.
constexpr uint8_t kDarkLuma = 16;
constexpr uint8_t kLightLuma = 235;
constexpr double kThreshold = (kDarkLuma + kLightLuma) / 2.0;

using StampBytes = std::array<uint8_t, kStampBytes>;

uint32_t crcOf(const StampBytes& bytes) {
    return av_crc(av_crc_get_table(AV_CRC_24_IEEE), 0, bytes.data(), kCheckedBytes) & 0xffffff;
}

StampBytes encode(const BlockStamp& stamp) {
    StampBytes bytes{};
    bytes[0] = kSyncMarker;
    for (int i = 0; i < 4; ++i) {
        bytes[1 + i] = static_cast<uint8_t>(stamp.frame >> (24 - 8 * i));
    }
    const auto sent = static_cast<uint64_t>(stamp.sentNs);
    for (int i = 0; i < 8; ++i) {
        bytes[5 + i] = static_cast<uint8_t>(sent >> (56 - 8 * i));
    }
    const uint32_t crc = crcOf(bytes);
    bytes[13] = static_cast<uint8_t>(crc >> 16);
    bytes[14] = static_cast<uint8_t>(crc >> 8);
    bytes[15] = static_cast<uint8_t>(crc);
    return bytes;
}

std::optional<BlockStamp> decode(const StampBytes& bytes) {
    const uint32_t crc = (uint32_t{bytes[13]} << 16) | (uint32_t{bytes[14]} << 8) | bytes[15];
    if (bytes[0] != kSyncMarker || crc != crcOf(bytes)) {
        return std::nullopt;
    }
    BlockStamp stamp;
    for (int i = 0; i < 4; ++i) {
        stamp.frame = (stamp.frame << 8) | bytes[1 + i];
    }
    uint64_t sent = 0;
    for (int i = 0; i < 8; ++i) {
        sent = (sent << 8) | bytes[5 + i];
    }
    stamp.sentNs = static_cast<int64_t>(sent);
    return stamp;
}

bool bitOf(const StampBytes& bytes, int index) {
    return (bytes[index / 8] >> (7 - index % 8)) & 1;
}

// Pixel edges of block column `i` / row `j` in a region of `size` pixels (floor of the fraction).
int columnEdge(int i, int size) {
    return static_cast<int>(static_cast<long long>(i) * size / kBlocksAcross);
}
int rowEdge(int j, int size) {
    return static_cast<int>(static_cast<long long>(kBlocksDown - kBlockRows + j) * size /
                            kBlocksDown);
}

void fillLuma(PatternFormat format, uint8_t* const planes[], const int lineSizes[], int x0, int x1,
              int y0, int y1, bool light) {
    const bool rgb = format == PatternFormat::rgba || format == PatternFormat::bgra;
    const uint8_t value = rgb ? (light ? 255 : 0) : (light ? kLightLuma : kDarkLuma);
    for (int y = y0; y < y1; ++y) {
        uint8_t* row = planes[0] + static_cast<size_t>(y) * lineSizes[0];
        for (int x = x0; x < x1; ++x) {
            if (rgb) {
                row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = value;
                row[4 * x + 3] = 255;
            } else {
                row[x] = value;
            }
        }
    }
}

// Grey chroma under the grid, so that a colour of the pattern does not bleed into the blocks.
void neutralChroma(PatternFormat format, uint8_t* const planes[], const int lineSizes[], int x1,
                   int y0, int height) {
    const int cx1 = (x1 + 1) / 2;
    for (int cy = y0 / 2; cy < (height + 1) / 2; ++cy) {
        if (format == PatternFormat::yuv420p) {
            for (int p = 1; p <= 2; ++p) {
                uint8_t* row = planes[p] + static_cast<size_t>(cy) * lineSizes[p];
                for (int cx = 0; cx < cx1; ++cx) {
                    row[cx] = 128;
                }
            }
        } else if (format == PatternFormat::nv12) {
            uint8_t* row = planes[1] + static_cast<size_t>(cy) * lineSizes[1];
            for (int cx = 0; cx < 2 * cx1; ++cx) {
                row[cx] = 128;
            }
        }
    }
}

// Mean luma of the pixels of [x0, x1) x [y0, y1).
double meanLuma(const FrameView& view, PatternFormat format, int x0, int x1, int y0, int y1) {
    long long sum = 0;
    for (int y = y0; y < y1; ++y) {
        const uint8_t* row = view.data[0] + static_cast<size_t>(y) * view.lineSizes[0];
        for (int x = x0; x < x1; ++x) {
            if (format == PatternFormat::rgba || format == PatternFormat::bgra) {
                const uint8_t* p = row + 4 * x;
                const int r = format == PatternFormat::rgba ? p[0] : p[2];
                const int b = format == PatternFormat::rgba ? p[2] : p[0];
                sum += ((66 * r + 129 * p[1] + 25 * b + 128) >> 8) + 16;
            } else {
                sum += row[x];
            }
        }
    }
    return static_cast<double>(sum) / (static_cast<double>(x1 - x0) * (y1 - y0));
}

// The middle half of a block, from fractional edges so that it stays centred after scaling.
struct Span {
    int begin;
    int end;
};
Span centreOf(double first, double blockSize, int index) {
    const double start = first + (index + 0.25) * blockSize;
    const double stop = first + (index + 0.75) * blockSize;
    Span span{static_cast<int>(std::ceil(start)), static_cast<int>(std::floor(stop))};
    if (span.end <= span.begin) {
        span.begin = static_cast<int>(std::floor(first + (index + 0.5) * blockSize));
        span.end = span.begin + 1;
    }
    return span;
}

}  // namespace

bool fitsBlockStamp(int width, int height) {
    return width >= 2 * kBlocksAcross && height >= 2 * kBlocksDown;
}

bool drawBlockStamp(PatternFormat format, uint8_t* const planes[], const int lineSizes[], int width,
                    int height, const BlockStamp& stamp) {
    if (!fitsBlockStamp(width, height)) {
        return false;
    }
    const StampBytes bytes = encode(stamp);
    for (int j = 0; j < kBlockRows; ++j) {
        for (int i = 0; i < kBlockColumns; ++i) {
            fillLuma(format, planes, lineSizes, columnEdge(i, width), columnEdge(i + 1, width),
                     rowEdge(j, height), rowEdge(j + 1, height),
                     bitOf(bytes, j * kBlockColumns + i));
        }
    }
    neutralChroma(format, planes, lineSizes, columnEdge(kBlockColumns, width), rowEdge(0, height),
                  height);
    return true;
}

std::optional<BlockStamp> readBlockStamp(const FrameView& view, const Region& region) {
    const auto format = formatByAvCode(view.format);
    if (!format || view.data[0] == nullptr || region.x < 0 || region.y < 0 ||
        region.width < kBlocksAcross || region.height < kBlocksDown ||
        region.x + region.width > view.width || region.y + region.height > view.height) {
        return std::nullopt;
    }
    const int pixelBytes =
        (*format == PatternFormat::rgba || *format == PatternFormat::bgra) ? 4 : 1;
    if (view.lineSizes[0] < view.width * pixelBytes) {
        return std::nullopt;
    }
    const double blockWidth = static_cast<double>(region.width) / kBlocksAcross;
    const double blockHeight = static_cast<double>(region.height) / kBlocksDown;
    const double gridTop = region.y + (kBlocksDown - kBlockRows) * blockHeight;
    StampBytes bytes{};
    for (int j = 0; j < kBlockRows; ++j) {
        const Span rows = centreOf(gridTop, blockHeight, j);
        for (int i = 0; i < kBlockColumns; ++i) {
            const Span columns = centreOf(region.x, blockWidth, i);
            const int index = j * kBlockColumns + i;
            if (meanLuma(view, *format, columns.begin, columns.end, rows.begin, rows.end) >
                kThreshold) {
                bytes[index / 8] |= static_cast<uint8_t>(1 << (7 - index % 8));
            }
        }
    }
    return decode(bytes);
}

std::optional<BlockStamp> readBlockStamp(const FrameView& view) {
    return readBlockStamp(view, Region{0, 0, view.width, view.height});
}

}  // namespace videoecho
