// The demo's source process: a host process on the display side. Its echo manager has the server
// enabled; a dispatch stand-in adds and plays one media, and every pattern frame goes through the
// library's dispatch plug-in (updateFrameData) into the media's shared-memory channel.
#include <memory>

#include <fmt/format.h>
#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <host/videoecho.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "commands.h"
#include "demohost.h"
#include "demoprotocol.h"
#include "pacer.h"
#include "pattern.h"
#include "sendoptions.h"

namespace videoecho {

namespace {

int runDemoSource(const ParsedArgs& args, const char*) {
    const auto mediaId =
        static_cast<uint64_t>(parseInteger(args.value("media-id"), "--media-id", 1, 1LL << 53));
    const SendOptions options = parseSendOptions(args);
    if (options.frames == 0) {
        throw UsageError("give --frames or --seconds");
    }

    InterruptWatch interrupt;
    host::InProcessRuntime runtime;
    vantor::MediaMgr mediaMgr;
    auto mgr = std::make_shared<tarn::mediadispatch::VideoEchoMgr>();
    mgr->setQVRuntime(&runtime);
    mgr->setVideoEchoServerEnabled(true);
    // Every machine of the demo may share this host: each serves its cards on a free port.
    tarn::mediadispatch::VideoEchoServerOptions serverOptions;
    serverOptions.port = 0;
    tarn::mediadispatch::VideoEcho::setServerOptions(serverOptions);
    mgr->startVideoEchoServer();

    auto echoDispatch = std::make_shared<tarn::mediadispatch::VideoEchoDispatch>();
    echoDispatch->setQVRuntime(&runtime);
    echoDispatch->setVideoEchoMgr(mgr);
    echoDispatch->setMediaMgr(&mediaMgr);

    auto host = dispatchPlayingMedia(*mgr, mediaId);

    PatternFrame frame(options.format, options.width, options.height,
                       static_cast<int>(options.fps));
    const uint32_t session = newSessionId();
    emitDemoRecord("ready", {{"key", demoEchoKey(mediaId, host->media().editingMode)},
                             {"bytes", std::to_string(frame.bytes())}});
    Pacer pacer(options.fps);
    uint64_t sent = 0;
    int second = 1;
    for (; sent < options.frames; ++sent) {
        if (!pacer.waitTick(sent, interrupt)) {
            break;
        }
        frame.draw(sent);
        frame.stamp({session, sent, monotonicNs()});
        echoDispatch->updateFrameData(host->media(), &frame.frame());
        if (pacer.elapsedSeconds() >= second) {
            emitDemoRecord("progress", {{"sent", std::to_string(sent + 1)}});
            ++second;
        }
    }
    const double seconds = pacer.elapsedSeconds();
    host->stopPlaying();
    host->withdrawMedia();
    mgr->removeDispatch();
    mgr->stopVideoEchoServer();
    emitDemoRecord("result", {{"sent", std::to_string(sent)},
                              {"bytes", std::to_string(frame.bytes())},
                              {"seconds", fmt::format("{:.3f}", seconds)},
                              {"interrupted", interrupt.interrupted() ? "1" : "0"}});
    return 0;
}

}  // namespace

Command demoSourceCommand() {
    CommandInfo info;
    info.name = "__demo-source";
    info.summary = "(internal) the demo's source process";
    info.options = sendOptionInfos();
    info.options.push_back({"media-id", "ID", "id of the dispatched media"});
    info.options.push_back(verboseOption());
    return {info, runDemoSource, true};
}

}  // namespace videoecho
