// The options shared by the commands that generate frames (send, demo): size, pixel format,
// rate and length, validated against what one channel can hold.
#pragma once

#include <cstdint>
#include <vector>

#include "cli.h"
#include "pixelformat.h"

namespace videoecho {

struct SendOptions {
    int width = 640;
    int height = 360;
    PatternFormat format = PatternFormat::rgba;
    double fps = 30;
    uint64_t frames = 0;  // 0: until interrupted
};

std::vector<OptionInfo> sendOptionInfos();
// Reads --size, --format, --fps, --frames and --seconds; throws UsageError.
SendOptions parseSendOptions(const ParsedArgs& args);
// Plane bytes that one channel can hold on this machine (its mapped size less the header).
long long channelCapacity();
// A number that tells one sender from the next one on the same channel.
uint32_t newSessionId();

}  // namespace videoecho
