// The demo's viewer process: a host process whose echo manager has the server disabled. A display
// card is reported ready, a dispatch stand-in adds and plays the same media as the source, the
// manager registers an EchoMedia with the host's media manager, and the host's pace (60 Hz) reads
// frames through that media's SharedMemoryPlayer until the demo closes this process's stdin.
#include <poll.h>
#include <unistd.h>

#include <memory>

#include <fmt/format.h>
#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <tarnmediadispatchvideoecho/echomedia.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "commands.h"
#include "demohost.h"
#include "demoprotocol.h"
#include "framecopy.h"
#include "pacer.h"
#include "pngwriter.h"
#include "quietstderr.h"
#include "readstats.h"

namespace videoecho {

namespace {

// True once the demo has closed our stdin (or it was never a pipe to read).
bool toldToFinish() {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
        return false;
    }
    char c = 0;
    return read(STDIN_FILENO, &c, 1) <= 0;
}

std::shared_ptr<qv::mediacore::IMediaPlayer> playerOfEchoMedia(const vantor::MediaMgr& mediaMgr) {
    for (const auto& media : mediaMgr.all()) {
        auto echo = std::dynamic_pointer_cast<vantor::mediadispatch::EchoMedia>(media);
        if (!echo) {
            continue;
        }
        for (const auto& info : echo->getPlayers({})) {
            if (auto player = info.mediaPlayer.lock()) {
                return player;
            }
        }
    }
    return nullptr;
}

int runDemoViewer(const ParsedArgs& args, const char*) {
    const auto mediaId =
        static_cast<uint64_t>(parseInteger(args.value("media-id"), "--media-id", 1, 1LL << 53));
    const double limit = parseNumber(args.value("max-seconds", "600"), "--max-seconds", 1, 86400);
    const std::string png = args.value("png");
    const bool quiet = !args.has("verbose");

    InterruptWatch interrupt;
    host::InProcessRuntime runtime;
    vantor::MediaMgr mediaMgr;
    auto mgr = std::make_shared<tarn::mediadispatch::VideoEchoMgr>();
    mgr->setQVRuntime(&runtime);
    mgr->setVideoEchoServerEnabled(false);
    mgr->setMediaMgr(&mediaMgr);
    vantor::mediadispatch::STDisplayCardInfo card;
    card.nodeId = "viewer";
    card.id = 1;
    card.deviceId = "demo-card-1";
    mgr->onDeviceReady(card);

    auto host = dispatchPlayingMedia(*mgr, mediaId);
    const auto player = playerOfEchoMedia(mediaMgr);
    if (!player) {
        throw RunError("the echo manager registered no echo media with a player");
    }
    emitDemoRecord("ready", {{"key", demoEchoKey(mediaId, host->media().editingMode)},
                             {"medias", std::to_string(mediaMgr.size())}});

    PatternChecker checker;
    ReadStats stats;
    FrameCopy lastIntact;
    FrameCopy lastAny;
    Pacer pacer(60);
    int second = 1;
    for (uint64_t tick = 0; pacer.elapsedSeconds() < limit; ++tick) {
        if (!pacer.waitTick(tick, interrupt) || toldToFinish()) {
            break;
        }
        qv::mediacore::IFrame* frame = nullptr;
        {
            QuietStderr silence(quiet);
            frame = player->getFrame(0.0);
        }
        const int64_t now = monotonicNs();
        if (frame != nullptr) {
            const FrameView view = viewOf(*frame);
            const Checked checked = checker.check(view);
            long long bytes = 0;
            for (int i = 0; i < 8; ++i) {
                bytes += static_cast<long long>(view.lineSizes[i]) * view.height;
            }
            stats.record(checked, bytes, now);
            lastAny.assign(view);
            if (checked.verdict == Verdict::intact) {
                lastIntact.assign(view);
            }
        }
        if (pacer.elapsedSeconds() >= second) {
            const auto& t = stats.totals();
            emitDemoRecord("progress", {{"seen", std::to_string(t.seen)},
                                        {"unique", std::to_string(stats.uniqueFrames())},
                                        {"torn", std::to_string(t.torn)}});
            ++second;
        }
    }
    host->stopPlaying();
    host->withdrawMedia();
    mgr->removeDispatch();

    std::string pngState = "none";
    std::string pngFrame = "-";
    const FrameCopy& picture = lastIntact.empty() ? lastAny : lastIntact;
    if (!png.empty() && !picture.empty()) {
        try {
            writePng(picture.view(), png);
            pngState = lastIntact.empty() ? "torn" : "intact";
            Stamp stamp;
            bool ok = false;
            if (readStamp(picture.view(), stamp, ok)) {
                pngFrame = std::to_string(stamp.frame);
            }
        } catch (const RunError& e) {
            pngState = "failed";
            std::fprintf(stderr, "videoecho demo viewer: %s\n", e.what());
        }
    }
    const auto& t = stats.totals();
    const Percentiles p = percentilesOf(t.latenciesNs);
    emitDemoRecord("result", {{"seen", std::to_string(t.seen)},
                              {"unique", std::to_string(stats.uniqueFrames())},
                              {"repeated", std::to_string(t.repeated)},
                              {"backwards", std::to_string(t.backwards)},
                              {"torn", std::to_string(t.torn)},
                              {"foreign", std::to_string(t.foreign)},
                              {"bytes", std::to_string(t.bytes)},
                              {"p50", fmt::format("{:.3f}", p.p50Ms)},
                              {"p99", fmt::format("{:.3f}", p.p99Ms)},
                              {"max", fmt::format("{:.3f}", p.maxMs)},
                              {"png", pngState},
                              {"pngframe", pngFrame}});
    return 0;
}

}  // namespace

Command demoViewerCommand() {
    CommandInfo info;
    info.name = "__demo-viewer";
    info.summary = "(internal) the demo's viewer process";
    info.options = {{"media-id", "ID", "id of the dispatched media"},
                    {"png", "FILE", "write the last frame received here"},
                    {"max-seconds", "N", "give up after N seconds"},
                    verboseOption()};
    return {info, runDemoViewer, true};
}

}  // namespace videoecho
