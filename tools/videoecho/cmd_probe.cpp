// videoecho probe KEY: prints a channel's header and guard in words, or why there is none.
#include <cstring>

#include <fmt/format.h>
#include <tarnmediadispatchvideoecho/channelinspection.h>

#include "commands.h"
#include "monoclock.h"
#include "pattern.h"
#include "pixelformat.h"
#include "quietstderr.h"

namespace videoecho {

namespace {

void printGuard(const tarn::mediadispatch::ChannelGuardInfo& guard) {
    if (!guard.present) {
        std::printf("guard         none (unguarded: a reader may see two frames mixed)\n");
        return;
    }
    std::printf("guard         %llu frames committed%s\n",
                static_cast<unsigned long long>(guard.frames),
                guard.midFrame ? ", a frame being written" : "");
    std::printf("writer        pid %d (started at tick %llu), %s\n", guard.writerPid,
                static_cast<unsigned long long>(guard.writerStartTicks),
                guard.writerAlive ? "live" : "gone: its frames are no longer served");
    if (guard.frames > 0) {
        std::printf("last commit   %.1f ms ago (realtime %lld.%09lld)\n",
                    static_cast<double>(monotonicNs() - guard.monotonicNs) / 1e6,
                    static_cast<long long>(guard.realtimeNs / 1000000000),
                    static_cast<long long>(guard.realtimeNs % 1000000000));
    }
}

int runProbe(const ParsedArgs& args, const char*) {
    const std::string key = args.positional(0);
    checkChannelName(key);
    tarn::mediadispatch::ChannelInspection look;
    {
        QuietStderr silence(!args.has("verbose"));
        look = tarn::mediadispatch::inspectChannel(key, kStampBytes);
    }
    if (!look.exists) {
        throw RunError(fmt::format("no channel named {}", printableKey(key)));
    }
    const auto& h = look.header;
    std::printf("channel       %s\n", printableKey(key).c_str());
    std::printf("segment       %llu bytes mapped\n",
                static_cast<unsigned long long>(look.mappedSize));
    printGuard(look.guard);
    if (!look.hasHeader) {
        std::printf("header        none (segment smaller than a header)\n");
        return 1;
    }
    std::printf("size          %d x %d\n", h.width, h.height);
    std::printf("pixel format  %s (code %d)\n", avFormatName(h.format).c_str(), h.format);
    std::printf("fps           %d\n", h.fps);
    std::string lines;
    for (int l : h.linesize) {
        lines += fmt::format("{} ", l);
    }
    std::printf("line sizes    %s\n", lines.c_str());
    if (look.frameBytes < 0) {
        std::printf("bytes/frame   invalid (negative line size or height)\n");
    } else {
        std::printf("bytes/frame   %lld (%lld of pixels + 48 of header)%s\n",
                    static_cast<long long>(look.frameBytes),
                    static_cast<long long>(look.frameBytes - 48),
                    look.frameFits ? "" : ", larger than the segment: readers reject it");
    }
    if (h.width == 0 && h.height == 0 && look.frameBytes == 48) {
        std::printf("state         no frame written yet\n");
    }
    if (look.plane0Head.size() == static_cast<size_t>(kStampBytes)) {
        FrameView view;
        view.data[0] = look.plane0Head.data();
        view.lineSizes[0] = kStampBytes;
        view.height = 1;
        Stamp stamp;
        bool checksumOk = false;
        if (readStamp(view, stamp, checksumOk) && checksumOk) {
            std::printf("pattern       videoecho session %08x, frame %llu, sent %.1f ms ago\n",
                        stamp.session, static_cast<unsigned long long>(stamp.frame),
                        static_cast<double>(monotonicNs() - stamp.sentNs) / 1e6);
        }
    }
    return 0;
}

}  // namespace

Command probeCommand() {
    CommandInfo info;
    info.name = "probe";
    info.summary = "print the header and guard of channel KEY in words";
    info.positionals = {"KEY"};
    info.options = {verboseOption()};
    info.details = "Exits 1 with \"no channel named KEY\" when no writer holds the channel.";
    return {info, runProbe, false};
}

}  // namespace videoecho
