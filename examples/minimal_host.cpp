// The smallest host of the echo library: one process that plays both sides, to show the wiring.
// A real host runs the source side in the process that drives the display cards and the viewer side
// in another process of the same machine; the calls are the same.
//
//   source:  VideoEchoMgr (server enabled) + VideoEchoDispatch; the host's dispatch signals media
//            added and playing, and hands each frame to VideoEchoDispatch::updateFrameData.
//   viewer:  VideoEchoMgr (server disabled), told the ready display cards and the same dispatch
//            notifications; it registers an EchoMedia with the host's media manager, whose player
//            reads the frames back.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <host/idispatch.h>
#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

using namespace tarn::mediadispatch;

namespace {

// What the host's dispatch tells its listeners about one media.
void announceAndPlay(IDispatch& dispatch, uint64_t mediaId, vantor::EditingMode mode) {
    tarn::MediaInfo media;
    media.mediaId = mediaId;
    media.editingMode = mode;
    dispatch.mediasAdded(std::vector<tarn::MediaInfo>{media});
    STMediaPlayStateInfo state;
    state.notify = true;
    state.mediaId = mediaId;
    state.editingMode = mode;
    state.playState = kDispatchPlaying;
    dispatch.mediaPlayStateChanged(state);
}

}  // namespace

int main() {
    const uint64_t mediaId = 700000 + static_cast<uint64_t>(::getpid());
    const auto mode = vantor::kEditingModeLive;
    host::InProcessRuntime runtime;
    vantor::MediaMgr mediaMgr;

    // --- source side ---
    auto source = std::make_shared<VideoEchoMgr>();
    source->setVideoEchoServerEnabled(true);
    source->setQVRuntime(&runtime);
    source->startVideoEchoServer();
    int cardDevice = 0;
    source->addEcho(STDisplayCardId{"node-1", 1, "card-0", ""}, &cardDevice);
    auto plugin = std::make_shared<VideoEchoDispatch>();
    plugin->setQVRuntime(&runtime);
    plugin->setVideoEchoMgr(source);
    auto sourceDispatch = std::make_shared<IDispatch>();  // the host's own dispatch
    source->addDispatch(sourceDispatch);
    announceAndPlay(*sourceDispatch, mediaId, mode);

    // --- viewer side ---
    auto viewer = std::make_shared<VideoEchoMgr>();
    viewer->setVideoEchoServerEnabled(false);
    viewer->setMediaMgr(&mediaMgr);
    viewer->onDeviceReady(STDisplayCardInfo{"node-1", 1, "card-0", "", &cardDevice});
    auto viewerDispatch = std::make_shared<IDispatch>();
    viewer->addDispatch(viewerDispatch);
    announceAndPlay(*viewerDispatch, mediaId, mode);

    // One frame through the dispatch plug-in...
    std::vector<uint8_t> pixels(64 * 32 * 4, 0x5a);
    qv::mediacore::IFrame frame;
    frame.setWidth(64);
    frame.setHeight(32);
    frame.kframe()->data[0] = pixels.data();
    frame.kframe()->linesize[0] = 64 * 4;
    tarn::MediaInfo info;
    info.mediaId = mediaId;
    info.editingMode = mode;
    plugin->updateFrameData(info, &frame);

    // ...read back by the echo media that the viewer registered.
    int status = 1;
    for (const auto& media : mediaMgr.all()) {
        for (const auto& player : media->getPlayers("card-0")) {
            auto mediaPlayer = player.mediaPlayer.lock();
            auto* echoed = mediaPlayer ? mediaPlayer->getFrame(0.0) : nullptr;
            if (echoed != nullptr && echoed->getWidth() == 64 &&
                std::memcmp(echoed->kframe()->data[0], pixels.data(), pixels.size()) == 0) {
                std::printf("echo of media %llu: %dx%d, identical\n",
                            static_cast<unsigned long long>(mediaId), echoed->getWidth(),
                            echoed->getHeight());
                status = 0;
            }
        }
    }

    // Shutdown: unhook from the dispatches before they go.
    viewer->removeDispatch();
    source->removeDispatch();
    return status;
}
