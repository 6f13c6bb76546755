// videoecho watch KEY: reads channel KEY at a host's pace and reports, once a second, what it saw.
#include <memory>

#include <fmt/format.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include "commands.h"
#include "pacer.h"
#include "pattern.h"
#include "quietstderr.h"
#include "readstats.h"
#include "statusline.h"

namespace videoecho {

namespace {

int runWatch(const ParsedArgs& args, const char*) {
    const std::string key = args.positional(0);
    checkChannelName(key);
    const double seconds = args.has("seconds")
                               ? parseNumber(args.value("seconds"), "--seconds", 0.1, 86400.0 * 365)
                               : 0;
    const double rate = args.has("rate") ? parseNumber(args.value("rate"), "--rate", 1, 1000) : 60;
    const bool quiet = !args.has("verbose");

    InterruptWatch interrupt;
    auto player = std::make_shared<vantor::mediadispatch::SharedMemoryPlayer>(nullptr, key);
    player->play(0.0, 0.0);
    PatternChecker checker;
    ReadStats stats;
    StatusLine status;
    enum class Presence { unknown, present, gone, invalid } presence = Presence::unknown;
    bool everSeen = false;
    bool everInvalid = false;

    Pacer pacer(rate);
    const auto ticks = static_cast<uint64_t>(seconds * rate);
    int second = 1;
    for (uint64_t tick = 0; seconds == 0 || tick < ticks; ++tick) {
        if (!pacer.waitTick(tick, interrupt)) {
            break;
        }
        qv::mediacore::IFrame* frame = nullptr;
        {
            QuietStderr silence(quiet);
            frame = player->getFrame(0.0);
        }
        const int64_t now = monotonicNs();
        if (frame == nullptr) {
            const bool invalid = player->lastRead().status ==
                                 vantor::mediadispatch::ChannelReadStatus::invalidHeader;
            everInvalid = everInvalid || invalid;
            if (invalid && presence != Presence::invalid) {
                status.message(fmt::format("channel {} holds no valid frame", key));
                presence = Presence::invalid;
            } else if (!invalid && presence != Presence::gone) {
                status.message(
                    presence == Presence::present || presence == Presence::invalid
                        ? fmt::format("channel {} gone (its writer stopped or died)", key)
                        : fmt::format("no channel named {} yet; waiting", key));
                presence = Presence::gone;
            }
        } else {
            if (presence == Presence::gone || presence == Presence::invalid) {
                status.message(fmt::format("channel {} is back", key));
            }
            presence = Presence::present;
            everSeen = true;
            const FrameView view = viewOf(*frame);
            const Checked checked = checker.check(view);
            long long bytes = 0;
            for (int i = 0; i < 8; ++i) {
                bytes += static_cast<long long>(view.lineSizes[i]) * view.height;
            }
            if (stats.record(checked, bytes, now)) {
                status.message(fmt::format("new sender on channel {} (session {:08x})", key,
                                           checked.stamp.session));
            }
        }
        if (pacer.elapsedSeconds() >= second) {
            const ReadCounts window = stats.takeWindow();
            status.update(fmt::format("[{:>3}s] {}{}", second, describe(window),
                                      presence == Presence::gone ? "  (no channel)" : ""));
            ++second;
        }
    }
    status.finish();
    std::printf("total: %s  unique %llu\n", describe(stats.totals()).c_str(),
                static_cast<unsigned long long>(stats.uniqueFrames()));
    if (!everSeen) {
        throw RunError(everInvalid ? fmt::format("channel {} holds no valid frame", key)
                                   : fmt::format("no channel named {}", key));
    }
    return 0;
}

}  // namespace

Command watchCommand() {
    CommandInfo info;
    info.name = "watch";
    info.summary = "read channel KEY at a host's pace and report frames, tears and latency";
    info.positionals = {"KEY"};
    info.options = {{"seconds", "N", "stop after N seconds (default: until Ctrl-C)"},
                    {"rate", "HZ", "reads per second (default 60)"},
                    verboseOption()};
    info.details =
        "Once a second: reads that returned a frame (seen), frames not seen before (new), the "
        "same\n"
        "frame again (repeated), frame numbers that went backwards, frames that mix two frames\n"
        "(torn), and latency percentiles of new frames. Exits 1 if no frame was ever seen.";
    return {info, runWatch, false};
}

}  // namespace videoecho
