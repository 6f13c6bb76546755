// Wires the echo library as a host does and echoes one frame through a shared-memory channel:
// a source-side manager with a dispatch plug-in writes it, a SharedMemoryPlayer reads it back.
// Exits 0 when the frame read equals the frame written.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <host/idispatch.h>
#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

namespace {

// The host's dispatch: tells the echo manager what it dispatches.
class HostDispatch : public tarn::mediadispatch::IDispatch {};

}  // namespace

int main() {
    host::InProcessRuntime runtime;
    vantor::MediaMgr mediaMgr;
    auto mgr = std::make_shared<tarn::mediadispatch::VideoEchoMgr>();
    mgr->setQVRuntime(&runtime);
    mgr->setVideoEchoServerEnabled(true);
    auto echoDispatch = std::make_shared<tarn::mediadispatch::VideoEchoDispatch>();
    echoDispatch->setQVRuntime(&runtime);
    echoDispatch->setVideoEchoMgr(mgr);
    echoDispatch->setMediaMgr(&mediaMgr);
    auto hostDispatch = std::make_shared<HostDispatch>();
    mgr->addDispatch(hostDispatch);

    tarn::MediaInfo media;
    media.mediaId = 900000 + static_cast<uint64_t>(getpid());
    media.editingMode = vantor::kEditingModeLive;
    const std::string key = std::to_string(media.mediaId) + std::to_string(media.editingMode);
    hostDispatch->mediasAdded(std::vector<tarn::MediaInfo>{media});
    tarn::mediadispatch::STMediaPlayStateInfo playing;
    playing.notify = true;
    playing.mediaId = media.mediaId;
    playing.editingMode = media.editingMode;
    playing.playState = tarn::mediadispatch::kDispatchPlaying;
    hostDispatch->mediaPlayStateChanged(playing);

    const int width = 64;
    const int height = 32;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(i * 7);
    }
    qv::mediacore::IFrame frame;
    frame.kframe()->data[0] = pixels.data();
    frame.kframe()->linesize[0] = width * 4;
    frame.setWidth(width);
    frame.setHeight(height);
    frame.setFormat(26);
    frame.setFps(30);
    echoDispatch->updateFrameData(media, &frame);

    auto player = std::make_shared<vantor::mediadispatch::SharedMemoryPlayer>(nullptr, key);
    player->play(0.0, 0.0);
    const qv::mediacore::IFrame* read = player->getFrame(0.0);
    const bool same = read != nullptr && read->getWidth() == width && read->getHeight() == height &&
                      read->kframe()->linesize[0] == width * 4 &&
                      std::memcmp(read->kframe()->data[0], pixels.data(), pixels.size()) == 0;
    player.reset();
    mgr->removeDispatch();
    std::printf("consumer: echo of %dx%d frame through channel %s %s\n", width, height, key.c_str(),
                same ? "matches" : "DIFFERS");
    return same ? 0 : 1;
}
