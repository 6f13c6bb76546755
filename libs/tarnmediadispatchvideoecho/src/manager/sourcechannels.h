// The source side of the manager: every dispatched media has a shared-memory writer under its echo
// key, which gets the media's frames between play and stop. Owned by the manager's Impl; any thread
// may call it. Play, stop and frames of a writer are ordered by the channel lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>

#include "cardechoes.h"
#include "mediarole.h"

namespace tarn::mediadispatch {

class SourceChannels final : public MediaRole {
public:
    explicit SourceChannels(CardEchoes& cards);

    // The frame path: one key formed on the stack, one lookup through a reused key buffer, one
    // call. Nothing is allocated.
    void updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame);

    void onMediaAdded(const MediaInfo& media) override;
    void onMediaRemoved(uint64_t mediaId, EditingMode mode) override;
    void onPlaying(uint64_t mediaId, EditingMode mode) override;
    void onStopped(uint64_t mediaId, EditingMode mode) override;
    // The source side has no echo media and no viewer cards: these leave it as it is.
    void onMediaBlack(uint64_t, EditingMode) override {}
    void onVideoEchoSendFrameEnabled(uint64_t, EditingMode, bool) override {}
    void onDeviceReady(const STDisplayCardInfo&) override {}
    void setEditingMode(EditingMode mode, bool flag) override;

private:
    void addSharedMemoryIPCServer(const std::string& key);

    CardEchoes& cards_;
    std::mutex mutex_;
    // guarded by mutex_
    std::unordered_map<std::string, std::shared_ptr<SharedMemoryIPCServer>> channels_;
    // guarded by mutex_; the frame path copies its key here so that a lookup allocates nothing
    std::string lookupKey_;
};

}  // namespace tarn::mediadispatch
