// The private state of VideoEchoMgr: one part per job, each with its own lock, and the routing of
// the dispatch's notifications to the role in force. Lock rules: no part holds its lock while it
// calls another part, a host object (media manager, media, echo server, dispatch signal) or a
// callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <host/idispatch.h>
#include <host/signal.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "boundcards.h"
#include "cardechoes.h"
#include "echoregistry.h"
#include "sourcechannels.h"
#include "viewermedias.h"

namespace tarn::mediadispatch {

struct VideoEchoMgr::Impl {
    // A dispatch and the five connections made to it; the connections end with the entry.
    struct DispatchLink {
        std::weak_ptr<IDispatch> dispatch;
        std::vector<host::ScopedConnection> connections;
    };

    // Read at every notification: setVideoEchoServerEnabled decides the path of the later ones.
    MediaRole& role() {
        if (serverEnabled) {
            return source;
        }
        return viewer;
    }

    // --- dispatch wiring and the notifications it brings ---
    static void addDispatch(const std::shared_ptr<Impl>& self, std::weak_ptr<IDispatch> dispatch);
    void disconnectDispatches(bool forget);
    void onMediaPlayStateChanged(const STMediaPlayStateInfo& info);
    void onMediasAdded(const std::vector<MediaInfo>& medias);
    void onMediaRemoved(uint64_t ownerId, uint64_t mediaId, EditingMode mode);
    void onMediaBlack(uint64_t ownerId, uint64_t mediaId, EditingMode mode);
    void onVideoEchoSendFrameEnabled(uint64_t mediaId, EditingMode mode, bool enabled);

    CardEchoes cards;
    EchoRegistry registry;
    BoundCards bound{cards, registry};
    SourceChannels source{cards};
    ViewerMedias viewer{bound};
    std::atomic<bool> serverEnabled{true};

    std::mutex dispatchMutex;
    std::vector<DispatchLink> dispatches;  // guarded by dispatchMutex

    // Kept for the host; the manager itself asks none of them.
    std::mutex hostCallbackMutex;
    CreateMetaCallBack createMetaCallBack;                // guarded by hostCallbackMutex
    DisplayCardsQueryCallback displayCardsQueryCallback;  // guarded by hostCallbackMutex
    DeviceQueryCallback deviceQueryCallback;              // guarded by hostCallbackMutex
};

}  // namespace tarn::mediadispatch
