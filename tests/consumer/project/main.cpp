// Wires the echo library as a host does and echoes one frame through a shared-memory channel:
// a source-side manager with a dispatch plug-in writes it, a SharedMemoryPlayer reads it back.
// Exits 0 when the frame read equals the frame written.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <host/idispatch.h>
#include <host/imediamgr.h>
#include <host/inprocessruntime.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

int main() {
    using namespace tarn::mediadispatch;
    host::InProcessRuntime runtime;
    vantor::MediaMgr mediaMgr;
    auto mgr = std::make_shared<VideoEchoMgr>();
    mgr->setQVRuntime(&runtime);
    mgr->setVideoEchoServerEnabled(true);
    auto echoDispatch = std::make_shared<VideoEchoDispatch>();
    echoDispatch->setQVRuntime(&runtime);
    echoDispatch->setVideoEchoMgr(mgr);
    echoDispatch->setMediaMgr(&mediaMgr);
    auto hostDispatch = std::make_shared<IDispatch>();  // tells the manager what the host plays
    mgr->addDispatch(hostDispatch);

    tarn::MediaInfo media;
    media.mediaId = 900000 + static_cast<uint64_t>(getpid());
    media.editingMode = vantor::kEditingModeLive;
    const std::string key = std::to_string(media.mediaId) + std::to_string(media.editingMode);
    hostDispatch->mediasAdded(std::vector<tarn::MediaInfo>{media});
    STMediaPlayStateInfo playing;
    playing.notify = true;
    playing.mediaId = media.mediaId;
    playing.editingMode = media.editingMode;
    playing.playState = kDispatchPlaying;
    hostDispatch->mediaPlayStateChanged(playing);

    const int width = 64, height = 32;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    std::iota(pixels.begin(), pixels.end(), uint8_t{0});
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
