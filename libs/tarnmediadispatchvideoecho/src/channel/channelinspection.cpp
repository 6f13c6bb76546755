#include <tarnmediadispatchvideoecho/channelinspection.h>

#include <algorithm>
#include <cstring>

#include <shm/shmhandle.h>

#include "channelguard.h"
#include "channelheaderio.h"
#include "channellayout.h"
#include "channelviews.h"

namespace tarn::mediadispatch {

namespace {

ChannelGuardInfo lookAtGuard(const std::string& name) {
    ChannelGuardInfo info;
    channel::GuardView guard;
    if (!guard.open(channel::guardNameOf(name))) {
        return info;
    }
    const channel::GuardStamp stamp = channel::readStamp(guard.base());
    const channel::GuardIdentity identity = channel::readIdentity(guard.base());
    info.present = true;
    info.frames = stamp.sequence / 2;
    info.midFrame = (stamp.sequence & 1) != 0;
    info.monotonicNs = stamp.monotonicNs;
    info.realtimeNs = stamp.realtimeNs;
    info.writerPid = identity.writerPid;
    info.writerStartTicks = identity.writerStartTicks;
    int holder = 0;
    info.writerAlive = channel::writerIsAlive(guard.descriptor(), &holder);
    return info;
}

}  // namespace

ChannelInspection inspectChannel(const std::string& name, uint64_t plane0Bytes) {
    ChannelInspection look;
    shm::ShmHandle segment;
    if (!segment.acquire(name, 1, shm::ShmMode::open)) {
        return look;
    }
    look.exists = true;
    look.mappedSize = segment.mappedSize();
    look.guard = lookAtGuard(name);
    const auto* base = static_cast<const uint8_t*>(segment.mappedAddress());
    if (base == nullptr || look.mappedSize < kShmFrameHeaderSize) {
        return look;
    }
    look.hasHeader = true;
    look.header = channel::readHeader(base);
    look.frameBytes = channel::frameBytes(look.header);
    const channel::FrameLayout layout = channel::layoutOf(look.header, look.mappedSize);
    look.frameFits = layout.valid;
    if (layout.valid) {
        const uint64_t count = std::min(plane0Bytes, layout.planes[0].size);
        look.plane0Head.assign(base + layout.planes[0].offset,
                               base + layout.planes[0].offset + count);
    }
    return look;
}

}  // namespace tarn::mediadispatch
