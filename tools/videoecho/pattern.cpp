#include "pattern.h"

#include <cstring>

#include "blockstamp.h"

namespace videoecho {

namespace {

constexpr uint32_t kStampMagic = 0x48434556;  // "VECH"

struct Rgb {
    uint8_t r, g, b;
};

// Colour bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr Rgb kBars[8] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                          {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
constexpr Rgb kBox = {255, 140, 0};

uint64_t triangle(uint64_t t, uint64_t span) {
    if (span == 0) {
        return 0;
    }
    const uint64_t p = t % (2 * span);
    return p < span ? p : 2 * span - p;
}

// The colour of every pixel of row `y` of frame `n`.
void drawRow(std::vector<Rgb>& row, int y, uint64_t n, int width, int height) {
    const uint64_t w = static_cast<uint64_t>(width);
    const int barsHeight = height * 3 / 4;
    const int box = height / 6;
    const uint64_t boxX = triangle(n * 5, w - static_cast<uint64_t>(box));
    const uint64_t boxY = triangle(n * 3, static_cast<uint64_t>(barsHeight - box));
    const uint64_t shift = (n * 4) % w;
    for (int x = 0; x < width; ++x) {
        Rgb c;
        if (y < barsHeight) {
            c = kBars[((static_cast<uint64_t>(x) + shift) % w) * 8 / w];
        } else {
            const auto g =
                static_cast<uint8_t>((static_cast<uint64_t>(x) * 256 / w + n * 2) & 0xff);
            c = {g, g, g};
        }
        if (static_cast<uint64_t>(x) >= boxX && static_cast<uint64_t>(x) < boxX + box &&
            static_cast<uint64_t>(y) >= boxY && static_cast<uint64_t>(y) < boxY + box) {
            c = kBox;
        }
        row[x] = c;
    }
}

// BT.601, limited range, integer arithmetic (so sender and reader agree to the byte).
uint8_t lumaOf(Rgb c) {
    return static_cast<uint8_t>(((66 * c.r + 129 * c.g + 25 * c.b + 128) >> 8) + 16);
}
uint8_t cbOf(Rgb c) {
    return static_cast<uint8_t>(((-38 * c.r - 74 * c.g + 112 * c.b + 128) >> 8) + 128);
}
uint8_t crOf(Rgb c) {
    return static_cast<uint8_t>(((112 * c.r - 94 * c.g - 18 * c.b + 128) >> 8) + 128);
}

uint32_t checksumOf(uint32_t session, uint64_t frame, int64_t sentNs) {
    const auto t = static_cast<uint64_t>(sentNs);
    return kStampMagic ^ session ^ static_cast<uint32_t>(frame) ^
           static_cast<uint32_t>(frame >> 32) ^ static_cast<uint32_t>(t) ^
           static_cast<uint32_t>(t >> 32) ^ 0x9e3779b9U;
}

}  // namespace

FrameView viewOf(const qv::mediacore::IFrame& frame) {
    FrameView view;
    view.width = frame.getWidth();
    view.height = frame.getHeight();
    view.format = frame.format();
    if (const auto record = frame.kframe()) {
        for (int i = 0; i < 8; ++i) {
            view.data[i] = record->data[i];
            view.lineSizes[i] = record->linesize[i];
        }
    }
    return view;
}

PatternFrame::PatternFrame(PatternFormat format, int width, int height, int fps)
    : format_(format), width_(width), height_(height) {
    lineSizesOf(format, width, lineSizes_);
    const auto record = frame_.kframe();
    for (int i = 0; i < 8; ++i) {
        // Every plane holds the frame's full height, as the channel carries it.
        planes_[i].assign(static_cast<size_t>(lineSizes_[i]) * static_cast<size_t>(height), 0);
        record->data[i] = lineSizes_[i] > 0 ? planes_[i].data() : nullptr;
        record->linesize[i] = lineSizes_[i];
    }
    frame_.setWidth(width);
    frame_.setHeight(height);
    frame_.setFormat(avCodeOf(format));
    frame_.setFps(static_cast<uint64_t>(fps));
}

void PatternFrame::drawBlocks(const Stamp& s) {
    uint8_t* planes[8];
    for (int i = 0; i < 8; ++i) {
        planes[i] = planes_[i].data();
    }
    drawBlockStamp(format_, planes, lineSizes_, width_, height_,
                   {static_cast<uint32_t>(s.frame), s.sentNs});
}

long long PatternFrame::bytes() const {
    return frameBytes(format_, width_, height_);
}

void PatternFrame::draw(uint64_t number) {
    std::vector<Rgb> row(static_cast<size_t>(width_));
    for (int y = 0; y < height_; ++y) {
        drawRow(row, y, number, width_, height_);
        uint8_t* p0 = planes_[0].data() + static_cast<size_t>(y) * lineSizes_[0];
        switch (format_) {
            case PatternFormat::rgba:
            case PatternFormat::bgra: {
                const bool bgr = format_ == PatternFormat::bgra;
                for (int x = 0; x < width_; ++x) {
                    p0[4 * x + 0] = bgr ? row[x].b : row[x].r;
                    p0[4 * x + 1] = row[x].g;
                    p0[4 * x + 2] = bgr ? row[x].r : row[x].b;
                    p0[4 * x + 3] = 255;
                }
                break;
            }
            case PatternFormat::yuv420p:
            case PatternFormat::nv12: {
                for (int x = 0; x < width_; ++x) {
                    p0[x] = lumaOf(row[x]);
                }
                if (y % 2 != 0) {
                    break;
                }
                const size_t cy = static_cast<size_t>(y / 2);
                if (format_ == PatternFormat::yuv420p) {
                    uint8_t* u = planes_[1].data() + cy * lineSizes_[1];
                    uint8_t* v = planes_[2].data() + cy * lineSizes_[2];
                    for (int x = 0; x < width_ / 2; ++x) {
                        u[x] = cbOf(row[2 * x]);
                        v[x] = crOf(row[2 * x]);
                    }
                } else {
                    uint8_t* uv = planes_[1].data() + cy * lineSizes_[1];
                    for (int x = 0; x < width_ / 2; ++x) {
                        uv[2 * x] = cbOf(row[2 * x]);
                        uv[2 * x + 1] = crOf(row[2 * x]);
                    }
                }
                break;
            }
        }
    }
}

void PatternFrame::stamp(const Stamp& s) {
    drawBlocks(s);
    uint8_t* p = planes_[0].data();
    const uint32_t check = checksumOf(s.session, s.frame, s.sentNs);
    std::memcpy(p, &kStampMagic, 4);
    std::memcpy(p + 4, &s.session, 4);
    std::memcpy(p + 8, &s.frame, 8);
    std::memcpy(p + 16, &s.sentNs, 8);
    std::memcpy(p + 24, &check, 4);
}

bool readStamp(const FrameView& view, Stamp& out, bool& checksumOk) {
    checksumOk = false;
    if (view.data[0] == nullptr || view.lineSizes[0] < kStampBytes || view.height < 1) {
        return false;
    }
    const uint8_t* p = view.data[0];
    uint32_t magic = 0;
    uint32_t check = 0;
    std::memcpy(&magic, p, 4);
    if (magic != kStampMagic) {
        return false;
    }
    std::memcpy(&out.session, p + 4, 4);
    std::memcpy(&out.frame, p + 8, 8);
    std::memcpy(&out.sentNs, p + 16, 8);
    std::memcpy(&check, p + 24, 4);
    checksumOk = check == checksumOf(out.session, out.frame, out.sentNs);
    return true;
}

Checked PatternChecker::check(const FrameView& view) {
    Checked result;
    const auto format = formatByAvCode(view.format);
    if (!format || !geometryProblem(*format, view.width, view.height).empty() ||
        view.width > 16384 || view.height > 16384) {
        return result;
    }
    int expectedLines[8];
    lineSizesOf(*format, view.width, expectedLines);
    for (int i = 0; i < 8; ++i) {
        if (view.lineSizes[i] != expectedLines[i] ||
            (expectedLines[i] > 0 && view.data[i] == nullptr)) {
            return result;
        }
    }
    bool checksumOk = false;
    if (!readStamp(view, result.stamp, checksumOk)) {
        return result;
    }
    if (!checksumOk) {
        result.verdict = Verdict::torn;
        return result;
    }
    if (!expected_ || expected_->format() != *format || expected_->width() != view.width ||
        expected_->height() != view.height) {
        expected_ = std::make_unique<PatternFrame>(*format, view.width, view.height, 0);
        drawn_ = false;
    }
    if (!drawn_ || expectedNumber_ != result.stamp.frame) {
        expected_->draw(result.stamp.frame);
        expectedNumber_ = result.stamp.frame;
        drawn_ = true;
    }
    // The blocks carry the send time, which the frame number alone does not give.
    expected_->drawBlocks(result.stamp);
    result.verdict = Verdict::intact;
    for (int i = 0; i < 8 && result.verdict == Verdict::intact; ++i) {
        const size_t size =
            static_cast<size_t>(expectedLines[i]) * static_cast<size_t>(view.height);
        if (size == 0) {
            continue;
        }
        const size_t skip = i == 0 ? kStampBytes : 0;
        if (std::memcmp(view.data[i] + skip, expected_->plane(i).data() + skip, size - skip) != 0) {
            result.verdict = Verdict::torn;
        }
    }
    return result;
}

}  // namespace videoecho
