// videoecho probe KEY: prints a channel's header in words, or why there is none.
#include <cstring>

#include <fmt/format.h>

#include "channelheader.h"
#include "commands.h"
#include "monoclock.h"
#include "pixelformat.h"

namespace videoecho {

namespace {

int runProbe(const ParsedArgs& args, const char*) {
    const std::string key = args.positional(0);
    checkChannelName(key);
    const ChannelLook look = lookAtChannel(key, !args.has("verbose"));
    if (!look.exists) {
        throw RunError(fmt::format("no channel named {}", key));
    }
    const auto& h = look.header;
    std::printf("channel       %s\n", key.c_str());
    std::printf("segment       %llu bytes mapped\n",
                static_cast<unsigned long long>(look.mappedSize));
    if (look.mappedSize < tarn::mediadispatch::kShmFrameHeaderSize) {
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
    const long long total = frameTotalOf(h);
    if (total < 0) {
        std::printf("bytes/frame   invalid (negative line size)\n");
    } else {
        const bool fits = static_cast<unsigned long long>(total) <= look.mappedSize;
        std::printf("bytes/frame   %lld (%lld of pixels + 48 of header)%s\n", total, total - 48,
                    fits ? "" : ", larger than the segment: readers reject it");
    }
    if (h.width == 0 && h.height == 0 && total == 48) {
        std::printf("state         no frame written yet\n");
    }
    if (look.haveStampBytes) {
        FrameView view;
        view.data[0] = look.stampBytes;
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
    info.summary = "print the header of channel KEY in words";
    info.positionals = {"KEY"};
    info.options = {verboseOption()};
    info.details = "Exits 1 with \"no channel named KEY\" when no writer holds the channel.";
    return {info, runProbe, false};
}

}  // namespace videoecho
