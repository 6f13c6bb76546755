// videoecho send KEY: writes the moving test pattern into channel KEY at a fixed rate.

#include <memory>

#include <fmt/format.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>

#include "commands.h"
#include "pacer.h"
#include "pattern.h"
#include "quietstderr.h"
#include "sendoptions.h"
#include "statusline.h"

namespace videoecho {

namespace {

int runSend(const ParsedArgs& args, const char*) {
    const std::string key = args.positional(0);
    checkChannelName(key);
    const SendOptions options = parseSendOptions(args);

    InterruptWatch interrupt;
    auto writer = std::make_shared<tarn::mediadispatch::SharedMemoryIPCServer>(key);
    writer->play(0.0, 0.0);
    PatternFrame frame(options.format, options.width, options.height, options.fps);
    const uint32_t session = newSessionId();

    StatusLine status;
    status.message(fmt::format("sending {}x{} {} at {} fps into channel '{}' (Ctrl-C stops)",
                               options.width, options.height, nameOf(options.format), options.fps,
                               key));
    Pacer pacer(options.fps);
    uint64_t sent = 0;
    uint64_t lastReport = 0;
    int reportSecond = 1;
    while (options.frames == 0 || sent < options.frames) {
        if (!pacer.waitTick(sent, interrupt)) {
            break;
        }
        frame.draw(sent);
        frame.stamp({session, sent, monotonicNs()});
        if (sent == 0) {
            // The first frame acquires the channel; one that cannot be had is this command's
            // failure, told in one line, not a warning on every frame.
            {
                QuietStderr silence(!args.has("verbose"));
                writer->updateFrame(&frame.frame(), 0.0);
            }
            const std::string problem = writer->acquisitionProblem();
            if (!problem.empty()) {
                status.finish();
                throw RunError(fmt::format("cannot write: {}", problem));
            }
        } else {
            writer->updateFrame(&frame.frame(), 0.0);
        }
        ++sent;
        if (pacer.elapsedSeconds() >= reportSecond) {
            status.update(fmt::format("[{:>3}s] sent {} frames ({} in the last second)",
                                      reportSecond, sent, sent - lastReport));
            lastReport = sent;
            ++reportSecond;
        }
    }
    writer->stop();
    status.finish();
    std::printf("sent %llu frames of %lld bytes in %.1f s%s\n",
                static_cast<unsigned long long>(sent), frame.bytes(), pacer.elapsedSeconds(),
                interrupt.interrupted() ? " (interrupted)" : "");
    return 0;
}

}  // namespace

Command sendCommand() {
    CommandInfo info;
    info.name = "send";
    info.summary = "write a moving test pattern into channel KEY";
    info.positionals = {"KEY"};
    info.options = sendOptionInfos();
    info.options.push_back(verboseOption());
    info.details =
        "Each frame carries its number and send time in its first bytes, so that 'watch' can "
        "check\n"
        "integrity and latency. The channel exists while 'send' runs; Ctrl-C stops it.";
    return {info, runSend, false};
}

}  // namespace videoecho
