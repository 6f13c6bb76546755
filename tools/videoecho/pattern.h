// The moving test pattern of videoecho: colour bars that scroll, a grey ramp and a bouncing box,
// fully determined by the frame number, plus a stamp in the first bytes of plane 0 that carries
// the sender's session, the frame number and the send time, and the same frame number and time
// drawn as blocks (blockstamp.h) that survive a video encoder. A reader regenerates the frame the
// stamp names and compares every byte, so a read that mixed two frames is caught.
// PatternFrame owns its pixel buffers and the IFrame that points at them; one thread uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <host/iframe.h>

#include "pixelformat.h"

namespace videoecho {

// Little-endian at offset 0 of plane 0: magic, session, frame number, send time, checksum.
struct Stamp {
    uint32_t session = 0;
    uint64_t frame = 0;
    int64_t sentNs = 0;  // CLOCK_MONOTONIC, comparable between processes of one machine
};
constexpr int kStampBytes = 28;

// A read-only view of a frame as a reader got it.
struct FrameView {
    int width = 0;
    int height = 0;
    int format = -1;  // AVPixelFormat code
    const uint8_t* data[8] = {};
    int lineSizes[8] = {};
};
FrameView viewOf(const qv::mediacore::IFrame& frame);

class PatternFrame {
public:
    PatternFrame(PatternFormat format, int width, int height, int fps);

    // Draws frame `number` (planes only; the stamp is written separately so that its time is
    // taken as late as possible).
    void draw(uint64_t number);
    // Writes the byte stamp and draws the block stamp (when the frame is large enough for it).
    void stamp(const Stamp& stamp);
    // Draws only the block stamp of `stamp`.
    void drawBlocks(const Stamp& stamp);

    const qv::mediacore::IFrame& frame() const { return frame_; }
    PatternFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    long long bytes() const;
    const std::vector<uint8_t>& plane(int i) const { return planes_[i]; }
    int lineSize(int i) const { return lineSizes_[i]; }

private:
    PatternFormat format_;
    int width_;
    int height_;
    int lineSizes_[8] = {};
    std::vector<uint8_t> planes_[8];
    qv::mediacore::IFrame frame_;
};

enum class Verdict {
    intact,   // every byte is the frame its stamp names
    torn,     // stamped by videoecho but some bytes belong to another frame
    foreign,  // not a videoecho pattern (unknown format, geometry or no stamp)
};

struct Checked {
    Verdict verdict = Verdict::foreign;
    Stamp stamp;
};

// Keeps one expected frame and redraws it only when the geometry or number changes.
class PatternChecker {
public:
    Checked check(const FrameView& view);

private:
    std::unique_ptr<PatternFrame> expected_;
    uint64_t expectedNumber_ = 0;
    bool drawn_ = false;
};

bool readStamp(const FrameView& view, Stamp& out, bool& checksumOk);

}  // namespace videoecho
