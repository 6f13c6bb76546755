// SharedMemoryIPCServer: the writer of one shared-memory frame channel (layout in
// shmframeheader.h). Owned by the echo manager through a std::shared_ptr; updateFrame, play and
// stop may be called from different threads (they are serialised internally), but one frame is
// written at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <host/iframe.h>
#include <tarnmediadispatchvideoecho/export.h>

namespace tarn::mediadispatch {

// Size the writer asks for: the 48-byte header plus a 640 x 640 four-byte frame.
constexpr uint32_t kShmChannelSize = 1638448;

class TARN_VIDEOECHO_API SharedMemoryIPCServer
    : public std::enable_shared_from_this<SharedMemoryIPCServer> {
public:
    explicit SharedMemoryIPCServer(const std::string& name);
    ~SharedMemoryIPCServer();
    SharedMemoryIPCServer(const SharedMemoryIPCServer&) = delete;
    SharedMemoryIPCServer& operator=(const SharedMemoryIPCServer&) = delete;

    bool init() const;
    // Frames are written from the next updateFrame on; the segment is mapped by that frame.
    bool play(double start, double end) const;
    bool pause(double time) const;
    bool resume(double time) const;
    // Drops frames from now on and lets go of the segment (waits for a write in progress).
    bool stop() const;

    // Copies `frame` (header and planes) into the channel; dropped while stopped. `time` is
    // ignored.
    void updateFrame(const qv::mediacore::IFrame* frame, double time);

    // Who may read the channel, from its next acquisition on: every local user (the default,
    // -1) or only the members of group `gid` (one this process's user belongs to). Only the
    // writer's own user can ever write or truncate it.
    void setReaderGroup(int64_t gid);

    // Why the channel is not being written, in one line: empty while it is written, and before
    // the first frame after play. Any thread.
    std::string acquisitionProblem() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarn::mediadispatch
