// The host stand-in of the demo's processes: a dispatch that adds, plays, stops and removes one
// media by emitting the host's dispatch signals, as a media-dispatch host does. Owned by the
// demo process through a shared_ptr (the echo manager holds it weakly); one thread drives it.
#pragma once

#include <memory>

#include <host/idispatch.h>
#include <host/mediarecords.h>

namespace videoecho {

class DemoDispatch : public tarn::mediadispatch::IDispatch {
public:
    explicit DemoDispatch(tarn::MediaInfo media) : media_(std::move(media)) {}

    const tarn::MediaInfo& media() const { return media_; }
    void announceMedia() { mediasAdded(std::vector<tarn::MediaInfo>{media_}); }
    void startPlaying() { setPlayState(tarn::mediadispatch::kDispatchPlaying); }
    void stopPlaying() { setPlayState(tarn::mediadispatch::kDispatchStopped); }
    void withdrawMedia() { mediaRemoved(media_.ownerId, media_.mediaId, media_.editingMode); }

private:
    void setPlayState(tarn::mediadispatch::DispatchPlayState state) {
        tarn::mediadispatch::STMediaPlayStateInfo info;
        info.dispatchType = tarn::kDispatchTypeVideo;
        info.sequence = ++sequence_;
        info.notify = true;
        info.ownerId = media_.ownerId;
        info.mediaId = media_.mediaId;
        info.editingMode = media_.editingMode;
        info.playState = state;
        mediaPlayStateChanged(info);
    }

    tarn::MediaInfo media_;
    uint64_t sequence_ = 0;
};

// The one media every demo process dispatches: added and playing in live mode on a dispatch that
// `mgr` listens to. The caller keeps the returned dispatch alive while the media plays.
template <typename Manager>
std::shared_ptr<DemoDispatch> dispatchPlayingMedia(Manager& mgr, uint64_t mediaId) {
    tarn::MediaInfo media;
    media.ownerId = 1;
    media.mediaId = mediaId;
    media.editingMode = vantor::kEditingModeLive;
    media.name = "videoecho demo pattern";
    auto host = std::make_shared<DemoDispatch>(media);
    mgr.addDispatch(host);
    host->announceMedia();
    host->startPlaying();
    return host;
}

}  // namespace videoecho
