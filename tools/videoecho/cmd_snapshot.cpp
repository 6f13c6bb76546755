// videoecho snapshot KEY FILE.png: reads one frame with the library's player and writes a PNG.
#include <memory>

#include <fmt/format.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include "commands.h"
#include "interrupt.h"
#include "monoclock.h"
#include "pixelformat.h"
#include "pngwriter.h"
#include "quietstderr.h"

namespace videoecho {

namespace {

int runSnapshot(const ParsedArgs& args, const char*) {
    const std::string key = args.positional(0);
    const std::string path = args.positional(1);
    checkChannelName(key);
    const double waitSeconds =
        args.has("wait") ? parseNumber(args.value("wait"), "--wait", 0, 3600) : 1.0;
    const bool quiet = !args.has("verbose");

    InterruptWatch interrupt;
    auto player = std::make_shared<vantor::mediadispatch::SharedMemoryPlayer>(nullptr, key);
    player->play(0.0, 0.0);
    const int64_t deadline = monotonicNs() + static_cast<int64_t>(waitSeconds * 1e9);
    qv::mediacore::IFrame* frame = nullptr;
    while (true) {
        {
            QuietStderr silence(quiet);
            frame = player->getFrame(0.0);
        }
        if (frame != nullptr || monotonicNs() >= deadline || interrupt.sleepFor(20000000)) {
            break;
        }
    }
    if (frame == nullptr) {
        if (player->lastRead().status == vantor::mediadispatch::ChannelReadStatus::invalidHeader) {
            throw RunError(fmt::format("channel {} holds no valid frame", key));
        }
        throw RunError(fmt::format("no channel named {}", key));
    }
    const FrameView view = viewOf(*frame);
    writePng(view, path);
    PatternChecker checker;
    const Checked checked = checker.check(view);
    std::string what = "not a videoecho pattern";
    if (checked.verdict == Verdict::intact) {
        what = fmt::format("pattern frame {}, intact", checked.stamp.frame);
    } else if (checked.verdict == Verdict::torn) {
        what =
            fmt::format("pattern frame {}, TORN (mixed with another frame)", checked.stamp.frame);
    }
    std::printf("wrote %s: %dx%d %s (%s)\n", path.c_str(), view.width, view.height,
                avFormatName(view.format).c_str(), what.c_str());
    return 0;
}

}  // namespace

Command snapshotCommand() {
    CommandInfo info;
    info.name = "snapshot";
    info.summary = "read one frame of channel KEY and write it as a PNG";
    info.positionals = {"KEY", "FILE.png"};
    info.options = {{"wait", "SECONDS", "wait this long for a frame (default 1)"}, verboseOption()};
    info.details = "The frame is converted from its pixel format to RGB with swscale.";
    return {info, runSnapshot, false};
}

}  // namespace videoecho
