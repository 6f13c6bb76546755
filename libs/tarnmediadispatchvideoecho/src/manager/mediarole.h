// What the manager does with the dispatch's notifications depends on its role, which
// setVideoEchoServerEnabled may change at any time: the source side writes each media's frames to a
// shared-memory channel, the viewer side shows them through echo media. The manager picks the role
// at every notification. Owned by the manager's Impl; called on the notifying threads.
#pragma once

#include <cstdint>

#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

namespace tarn::mediadispatch {

class MediaRole {
public:
    virtual ~MediaRole() = default;
    virtual void onMediaAdded(const MediaInfo& media) = 0;
    virtual void onMediaRemoved(uint64_t mediaId, EditingMode mode) = 0;
    virtual void onPlaying(uint64_t mediaId, EditingMode mode) = 0;
    virtual void onStopped(uint64_t mediaId, EditingMode mode) = 0;
    virtual void onMediaBlack(uint64_t mediaId, EditingMode mode) = 0;
    virtual void onVideoEchoSendFrameEnabled(uint64_t mediaId, EditingMode mode, bool enabled) = 0;
    virtual void onDeviceReady(const STDisplayCardInfo& info) = 0;
    virtual void setEditingMode(EditingMode mode, bool flag) = 0;
};

}  // namespace tarn::mediadispatch
