#include "sendoptions.h"

#include <unistd.h>

#include <cmath>
#include <random>

#include <fmt/format.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "monoclock.h"

namespace videoecho {

std::vector<OptionInfo> sendOptionInfos() {
    return {
        {"size", "WxH", "frame size (default 640x360)"},
        {"format", "FMT", "rgba, bgra, yuv420p or nv12 (default rgba)"},
        {"fps", "N", "frames per second (default 30)"},
        {"frames", "N", "stop after N frames"},
        {"seconds", "N", "stop after N seconds"},
    };
}

long long channelCapacity() {
    const long long page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
    const long long mapped = (tarn::mediadispatch::kShmChannelSize + page - 1) / page * page;
    return mapped - tarn::mediadispatch::kShmFrameHeaderSize;
}

uint32_t newSessionId() {
    std::random_device device;
    return static_cast<uint32_t>(device()) ^ static_cast<uint32_t>(getpid()) ^
           static_cast<uint32_t>(monotonicNs());
}

SendOptions parseSendOptions(const ParsedArgs& args) {
    SendOptions o;
    if (args.has("size")) {
        parseSize(args.value("size"), "--size", 1, 16384, o.width, o.height);
    }
    if (args.has("format")) {
        const auto format = formatByName(args.value("format"));
        if (!format) {
            throw UsageError(fmt::format("--format expects rgba, bgra, yuv420p or nv12, got '{}'",
                                         args.value("format")));
        }
        o.format = *format;
    }
    if (args.has("fps")) {
        o.fps = parseNumber(args.value("fps"), "--fps", 1, 1000);
    }
    if (args.has("frames") && args.has("seconds")) {
        throw UsageError("give either --frames or --seconds, not both");
    }
    if (args.has("frames")) {
        o.frames =
            static_cast<uint64_t>(parseInteger(args.value("frames"), "--frames", 1, 1LL << 40));
    }
    if (args.has("seconds")) {
        const double seconds = parseNumber(args.value("seconds"), "--seconds", 0.1, 86400.0 * 365);
        o.frames = static_cast<uint64_t>(std::max(1.0, std::round(seconds * o.fps)));
    }
    if (const std::string problem = geometryProblem(o.format, o.width, o.height);
        !problem.empty()) {
        throw UsageError(fmt::format("--size {}x{}: {}", o.width, o.height, problem));
    }
    const long long bytes = frameBytes(o.format, o.width, o.height);
    if (bytes > channelCapacity()) {
        throw UsageError(fmt::format(
            "a {}x{} {} frame needs {} bytes, a channel holds at most {} (640x640 rgba fills it)",
            o.width, o.height, nameOf(o.format), bytes, channelCapacity()));
    }
    return o;
}

}  // namespace videoecho
