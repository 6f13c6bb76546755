// A one-time look at a channel without the player: opens the named segment (open only, never
// creating it), copies the 48-byte header and the first bytes of plane 0. Used by probe and to
// tell "no such channel" from "no complete frame". Holds nothing after it returns.
#pragma once

#include <cstdint>
#include <string>

#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "pattern.h"

namespace videoecho {

struct ChannelLook {
    bool exists = false;
    uint64_t mappedSize = 0;
    tarn::mediadispatch::ShmFrameHeader header{};
    bool haveStampBytes = false;
    uint8_t stampBytes[kStampBytes] = {};
};

// `quiet`: keep the segment layer's line about a missing segment off stderr.
ChannelLook lookAtChannel(const std::string& key, bool quiet);

// 48 + sum(height * linesize[i]) in 64 bits, or -1 when a plane size is negative.
long long frameTotalOf(const tarn::mediadispatch::ShmFrameHeader& header);

}  // namespace videoecho
