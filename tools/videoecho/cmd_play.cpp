// videoecho play URL: plays an RTSP stream through the host's stream player, as an echo media of
// a viewing machine would, and reports what arrived at getFrame: pictures per second, and the
// latency and the unique frame numbers when the pictures carry videoecho's stamp (the byte stamp of
// an unencoded picture, or the block stamp that survives the encoder). Optionally writes the last
// picture as a PNG.
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <host/streammediaplayer.h>

#include "blockstamp.h"
#include "commands.h"
#include "interrupt.h"
#include "monoclock.h"
#include "pattern.h"
#include "pixelformat.h"
#include "pngwriter.h"
#include "readstats.h"

namespace videoecho {

namespace {

constexpr long long kPollNs = 2'000'000;

// Tells a new picture from a repeat of the last one without copying it: every eighth luma row.
size_t fingerprintOf(const FrameView& view) {
    size_t hash = 0;
    const size_t rowBytes = static_cast<size_t>(view.width);
    for (int row = 0; row < view.height; row += 8) {
        const auto* data = reinterpret_cast<const char*>(view.data[0]) +
                           static_cast<size_t>(row) * view.lineSizes[0];
        hash = hash * 31 + std::hash<std::string_view>{}(std::string_view(data, rowBytes));
    }
    return hash;
}

std::optional<BlockStamp> stampOf(const FrameView& view) {
    Stamp stamp;
    bool checksumOk = false;
    if (readStamp(view, stamp, checksumOk) && checksumOk) {
        return BlockStamp{static_cast<uint32_t>(stamp.frame), stamp.sentNs};
    }
    return readBlockStamp(view);
}

int runPlay(const ParsedArgs& args, const char*) {
    const std::string url = args.positional(0);
    const double seconds =
        args.has("seconds") ? parseNumber(args.value("seconds"), "--seconds", 0.1, 86400) : 10.0;
    const std::string snapshot = args.value("snapshot");

    InterruptWatch interrupt;
    qv::streammediaplayercore::StreammediaPlayer player(nullptr, url, nullptr);
    if (!player.play(0.0, 0.0)) {
        throw RunError(fmt::format("cannot play {} (not an RTSP URL?)", url));
    }
    std::printf("url: %s\n", url.c_str());

    int64_t firstNs = 0;
    int64_t lastNs = 0;
    uint64_t pictures = 0;
    size_t lastFingerprint = 0;
    std::set<uint32_t> stamps;
    std::vector<int64_t> latencies;
    FrameView last;
    const int64_t startNs = monotonicNs();
    const int64_t endNs = startNs + static_cast<int64_t>(seconds * 1e9);
    while (monotonicNs() < endNs && !interrupt.sleepFor(kPollNs)) {
        qv::mediacore::IFrame* frame = player.getFrame(0.0);
        if (frame == nullptr) {
            continue;
        }
        const FrameView view = viewOf(*frame);
        const size_t fingerprint = fingerprintOf(view);
        if (pictures != 0 && fingerprint == lastFingerprint) {
            continue;
        }
        const int64_t nowNs = monotonicNs();
        if (pictures == 0) {
            firstNs = nowNs;
            std::printf("first picture after %.0f ms: %dx%d %s\n", (nowNs - startNs) / 1e6,
                        view.width, view.height, avFormatName(view.format).c_str());
        }
        ++pictures;
        lastNs = nowNs;
        lastFingerprint = fingerprint;
        last = view;
        if (const auto stamp = stampOf(view); stamp && stamps.insert(stamp->frame).second) {
            latencies.push_back(nowNs - stamp->sentNs);
        }
    }
    player.stop(false);
    if (pictures == 0) {
        throw RunError(
            fmt::format("no picture from {} in {:.1f} s", url, (monotonicNs() - startNs) / 1e9));
    }
    const double spanS = (lastNs - firstNs) / 1e9;
    std::printf("pictures: %llu new in %.1f s (%.1f per second)\n",
                static_cast<unsigned long long>(pictures), spanS,
                spanS > 0 ? (pictures - 1) / spanS : 0.0);
    const Percentiles latency = percentilesOf(latencies);
    if (latency.valid) {
        std::printf("latency at getFrame: p50 %.1f ms  p99 %.1f ms  max %.1f ms (%zu stamps)\n",
                    latency.p50Ms, latency.p99Ms, latency.maxMs, latencies.size());
        std::printf("frames: %zu unique frame numbers, %u to %u\n", stamps.size(), *stamps.begin(),
                    *stamps.rbegin());
    } else {
        std::printf("latency: the pictures carry no videoecho stamp\n");
    }
    if (!snapshot.empty()) {
        // `last` points into the player's picture, which stays valid until its next getFrame.
        writePng(last, snapshot);
        std::printf("wrote %s\n", snapshot.c_str());
    }
    return 0;
}

}  // namespace

Command playCommand() {
    CommandInfo info;
    info.name = "play";
    info.summary = "play an RTSP stream through the host's stream player and report what arrives";
    info.positionals = {"URL"};
    info.options = {{"seconds", "N", "play this long (default 10)"},
                    {"snapshot", "FILE.png", "write the last picture as a PNG"},
                    verboseOption()};
    info.details =
        "Counts new pictures at getFrame and, when they carry videoecho's stamp (the blocks in "
        "the bottom-left corner that send draws), the unique frame numbers and the latency from "
        "the sender's clock (CLOCK_MONOTONIC: sender and player on one machine or kernel).";
    return {info, runPlay, false};
}

}  // namespace videoecho
