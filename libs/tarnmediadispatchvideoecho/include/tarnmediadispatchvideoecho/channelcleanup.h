// Finding and removing what writers of frame channels left behind when they were killed: a
// channel whose guard carries our mark and whose writer lock nobody holds. Nothing else in
// /dev/shm is ever touched. Free functions, safe from any thread and any process at once.
#pragma once

#include <string>
#include <vector>

#include <tarnmediadispatchvideoecho/export.h>

namespace tarn::mediadispatch {

struct AbandonedChannel {
    std::string name;         // the channel's name (its guard is name + ".guard")
    long long ownerUid = -1;  // owner of the guard segment
    int writerPid = 0;        // the writer that left it (which is gone)
    bool hasSegment = false;  // the channel segment the guard vouches for is still there
    bool removable = false;   // this process may remove it (same user, or root)
};

// The abandoned channels now in /dev/shm, sorted by name.
TARN_VIDEOECHO_API std::vector<AbandonedChannel> findAbandonedChannels();

// Removes channel `name` (its segment, then its guard) if it is abandoned: true when it did.
TARN_VIDEOECHO_API bool reclaimAbandonedChannel(const std::string& name);

}  // namespace tarn::mediadispatch
