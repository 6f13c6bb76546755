// A one-time look at a frame channel from outside its writer and the host (the videoecho tools):
// the header as readers parse it, the first bytes of plane 0 and what the guard says. Opens
// read-only, holds nothing after it returns, deletes nothing. Free function, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <tarnmediadispatchvideoecho/export.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

namespace tarn::mediadispatch {

struct ChannelGuardInfo {
    bool present = false;     // a guard with our mark (else the channel is unguarded)
    uint64_t frames = 0;      // frames committed so far
    bool midFrame = false;    // the writer was writing a frame at the moment of the look
    int64_t monotonicNs = 0;  // the writer's clocks at its last commit
    int64_t realtimeNs = 0;
    int writerPid = 0;
    uint64_t writerStartTicks = 0;  // the writer's start, in clock ticks since boot
    bool writerAlive = false;       // some process holds the writer lock now
};

struct ChannelInspection {
    bool exists = false;  // a segment that some writer holds is under the name
    uint64_t mappedSize = 0;
    bool hasHeader = false;  // the segment is large enough for the 48-byte header
    ShmFrameHeader header{};
    // 48 + the bytes of all planes, or -1 when a plane has no meaningful size (a negative line
    // size or height); the frame is one readers accept when it is >= 0 and <= mappedSize.
    int64_t frameBytes = -1;
    bool frameFits = false;
    std::vector<uint8_t> plane0Head;  // the first bytes of plane 0 (when the frame fits)
    ChannelGuardInfo guard;
};

// Looks at channel `name`, copying up to `plane0Bytes` bytes of plane 0.
TARN_VIDEOECHO_API ChannelInspection inspectChannel(const std::string& name,
                                                    uint64_t plane0Bytes = 0);

}  // namespace tarn::mediadispatch
