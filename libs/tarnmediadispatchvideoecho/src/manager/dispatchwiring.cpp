// Wiring to dispatch plug-ins: five slots of Impl on five signals of each dispatch, and where the
// notifications lead: to the bound cards' echo servers and to the role in force. Each slot tracks
// Impl by weak reference and each connection ends with its dispatch entry, so a dispatch or a
// manager destroyed without removeDispatch leaves nothing dangling.
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include <utility>

#include <host/log.h>

#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

namespace {

template <typename SignalT, typename Function>
host::ScopedConnection connectTracked(SignalT& signal, const std::weak_ptr<void>& tracked,
                                      Function function) {
    typename SignalT::slot_type slot(std::move(function));
    slot.track_foreign(tracked);
    return host::ScopedConnection(signal.connect(slot));
}

}  // namespace

void VideoEchoMgr::Impl::addDispatch(const std::shared_ptr<Impl>& self,
                                     std::weak_ptr<IDispatch> dispatch) {
    DispatchLink link{dispatch, {}};
    if (const auto target = dispatch.lock()) {
        const std::weak_ptr<void> tracked = self;
        Impl* impl = self.get();  // alive whenever a tracked slot runs
        link.connections.reserve(5);
        link.connections.push_back(connectTracked(
            target->mediaPlayStateChanged, tracked,
            [impl](const STMediaPlayStateInfo& info) { impl->onMediaPlayStateChanged(info); }));
        link.connections.push_back(
            connectTracked(target->mediaBlack, tracked,
                           [impl](uint64_t ownerId, uint64_t mediaId, EditingMode mode) {
                               impl->onMediaBlack(ownerId, mediaId, mode);
                           }));
        link.connections.push_back(
            connectTracked(target->videoEchoSendFrameEnabled, tracked,
                           [impl](uint64_t mediaId, EditingMode mode, bool enabled) {
                               impl->onVideoEchoSendFrameEnabled(mediaId, mode, enabled);
                           }));
        link.connections.push_back(connectTracked(
            target->mediasAdded, tracked,
            [impl](const std::vector<MediaInfo>& medias) { impl->onMediasAdded(medias); }));
        link.connections.push_back(
            connectTracked(target->mediaRemoved, tracked,
                           [impl](uint64_t ownerId, uint64_t mediaId, EditingMode mode) {
                               impl->onMediaRemoved(ownerId, mediaId, mode);
                           }));
    }
    std::lock_guard<std::mutex> lock(self->dispatchMutex);
    self->dispatches.push_back(std::move(link));
}

void VideoEchoMgr::Impl::disconnectDispatches(bool forget) {
    std::vector<DispatchLink> forgotten;               // destroyed after the lock
    std::vector<host::ScopedConnection> disconnected;  // likewise
    std::lock_guard<std::mutex> lock(dispatchMutex);
    for (auto& link : dispatches) {
        for (auto& connection : link.connections) {
            disconnected.push_back(std::move(connection));
        }
        link.connections.clear();
    }
    if (forget) {
        forgotten.swap(dispatches);
    }
}

void VideoEchoMgr::Impl::onMediaPlayStateChanged(const STMediaPlayStateInfo& info) {
    if (!info.notify) {
        return;
    }
    switch (static_cast<int32_t>(info.playState)) {
        case 1:
        case 3:
            bound.updateBoundEchoServers(info.ownerId, info.mediaId, info.editingMode, true);
            role().onPlaying(info.mediaId, info.editingMode);
            break;
        case 0:
            bound.updateBoundEchoServers(info.ownerId, info.mediaId, info.editingMode, false);
            role().onStopped(info.mediaId, info.editingMode);
            break;
        default:
            TARN_LOG_INFO("check play state!");
            break;
    }
}

void VideoEchoMgr::Impl::onMediasAdded(const std::vector<MediaInfo>& medias) {
    for (const auto& media : medias) {
        role().onMediaAdded(media);
    }
}

void VideoEchoMgr::Impl::onMediaRemoved(uint64_t, uint64_t mediaId, EditingMode mode) {
    role().onMediaRemoved(mediaId, mode);
}

void VideoEchoMgr::Impl::onMediaBlack(uint64_t, uint64_t mediaId, EditingMode mode) {
    role().onMediaBlack(mediaId, mode);
}

void VideoEchoMgr::Impl::onVideoEchoSendFrameEnabled(uint64_t mediaId, EditingMode mode,
                                                     bool enabled) {
    role().onVideoEchoSendFrameEnabled(mediaId, mode, enabled);
}

}  // namespace tarn::mediadispatch
