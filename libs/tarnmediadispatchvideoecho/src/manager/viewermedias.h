// The viewer side of the manager: every dispatched media gets an EchoMedia that reads its
// shared-memory channel, tied to the first display card reported ready and registered with the
// host's media manager, which owns it; this keeps weak references only. Owned by the manager's
// Impl; any thread may call it. No host object is called under the lock.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <host/imediamgr.h>
#include <host/iqvruntime.h>
#include <host/media.h>
#include <tarnmediadispatchvideoecho/channelviewset.h>

#include "boundcards.h"
#include "mediarole.h"

namespace tarn::mediadispatch {

class ViewerMedias final : public MediaRole {
public:
    explicit ViewerMedias(BoundCards& bound);

    void setMediaMgr(vantor::IMediaMgr* mediaMgr);   // not owned
    void setQVRuntime(vantor::IQVRuntime* runtime);  // not owned

    void onMediaAdded(const MediaInfo& media) override;
    void onMediaRemoved(uint64_t mediaId, EditingMode mode) override;
    void onPlaying(uint64_t mediaId, EditingMode mode) override;
    void onStopped(uint64_t mediaId, EditingMode mode) override;
    void onMediaBlack(uint64_t mediaId, EditingMode mode) override;
    void onVideoEchoSendFrameEnabled(uint64_t mediaId, EditingMode mode, bool enabled) override;
    void onDeviceReady(const STDisplayCardInfo& info) override;
    // Echo media follow the editing mode of their own media.
    void setEditingMode(EditingMode, bool) override {}

private:
    void addMedia(const MediaInfo& media);
    void removeMedia(const std::string& key);
    std::shared_ptr<vantor::mediadispatch::Media> echoMediaOf(uint64_t mediaId, EditingMode mode);

    BoundCards& bound_;
    std::atomic<vantor::IQVRuntime*> qvRuntime_{nullptr};
    std::atomic<vantor::IMediaMgr*> mediaMgr_{nullptr};
    // The channel views that the players of all these echo media share, so that registering a
    // media twice does not open its channel twice.
    const std::shared_ptr<ChannelViewSet> channelViews_ = std::make_shared<ChannelViewSet>();
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<vantor::mediadispatch::Media>>
        echoMedias_;                               // guarded by mutex_
    std::vector<STDisplayCardInfo> displayCards_;  // guarded by mutex_
};

}  // namespace tarn::mediadispatch
