#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>

#include <cstring>
#include <mutex>

#include <host/log.h>
#include <shm/shmhandle.h>
#include <tarnmediadispatchvideoecho/rwspinlock.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "channelheaderio.h"
#include "channellayout.h"

namespace tarn::mediadispatch {

struct SharedMemoryIPCServer::Impl {
    explicit Impl(const std::string& channelName) : name(channelName) {}

    bool acquireChannel(const qv::mediacore::IFrame* frame, uint32_t reportedFrameSize);
    void writeFrame(const qv::mediacore::IFrame& frame, const ShmFrameHeader& header);

    const std::string name;

    std::mutex stateMutex;
    bool stopped = true;     // guarded by stateMutex
    uint32_t frameSize = 0;  // guarded by stateMutex; only ever 0, reported in the acquisition line

    // Held exclusively while a frame is written and while stop lets go of the segment; never
    // taken while stateMutex is held.
    RwSpinLock segmentLock;
    shm::ShmHandle segment;  // guarded by segmentLock
};

bool SharedMemoryIPCServer::Impl::acquireChannel(const qv::mediacore::IFrame* frame,
                                                 uint32_t reportedFrameSize) {
    if (frame == nullptr) {
        return false;
    }
    const bool valid = segment.acquire(name, kShmChannelSize, shm::ShmMode::createOpen);
    TARN_LOG_INFO("SharedMemoryIPCServer acquireShm name:{}, size:{}, shmSize:{}, valid:{}", name,
                  reportedFrameSize, segment.mappedSize(), valid);
    if (!valid || segment.mappedSize() < kShmChannelSize) {
        // A segment of this name that somebody else created smaller cannot carry the channel.
        segment.release();
        return false;
    }
    return true;
}

void SharedMemoryIPCServer::Impl::writeFrame(const qv::mediacore::IFrame& frame,
                                             const ShmFrameHeader& header) {
    auto* base = static_cast<uint8_t*>(segment.mappedAddress());
    const uint64_t mapped = segment.mappedSize();
    channel::writeHeader(base, header);

    const auto record = frame.kframe();
    if (!record) {
        return;
    }
    uint64_t position = kShmFrameHeaderSize;
    for (int i = 0; i < kShmPlaneCount; ++i) {
        // A negative line size or height describes no buffer we could read safely: the plane is
        // skipped, and the reader refuses the header that announces it.
        const int64_t size = channel::planeBytes(header.height, header.linesize[i]);
        if (size <= 0 || record->data[i] == nullptr) {
            continue;
        }
        if (position + static_cast<uint64_t>(size) > mapped) {
            break;
        }
        // Plane bytes are copied as an opaque block: a reader copying at the same moment gets
        // some mix of old and new pixels, which the channel allows, and never makes a decision
        // on them.
        std::memcpy(base + position, record->data[i], static_cast<size_t>(size));
        position += static_cast<uint64_t>(size);
    }
}

SharedMemoryIPCServer::SharedMemoryIPCServer(const std::string& name)
    : impl_(std::make_unique<Impl>(name)) {}

SharedMemoryIPCServer::~SharedMemoryIPCServer() {
    stop();
    impl_->segment.release();
}

bool SharedMemoryIPCServer::init() const {
    return true;
}

bool SharedMemoryIPCServer::play(double, double) const {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->stopped = false;
    return true;
}

bool SharedMemoryIPCServer::pause(double) const {
    return true;
}

bool SharedMemoryIPCServer::resume(double) const {
    return true;
}

bool SharedMemoryIPCServer::stop() const {
    {
        std::lock_guard<std::mutex> lock(impl_->stateMutex);
        impl_->stopped = true;
        impl_->frameSize = 0;
    }
    std::lock_guard<RwSpinLock> lock(impl_->segmentLock);
    impl_->segment.release();
    return true;
}

void SharedMemoryIPCServer::updateFrame(const qv::mediacore::IFrame* frame, double) {
    uint32_t reportedFrameSize = 0;
    {
        std::lock_guard<std::mutex> lock(impl_->stateMutex);
        if (impl_->stopped) {
            return;
        }
        reportedFrameSize = impl_->frameSize;
    }
    if (frame == nullptr) {
        TARN_LOG_WARN("SharedMemoryIPCServer updateFrame: null frame, name:{}", impl_->name);
        return;
    }
    ShmFrameHeader header{};
    header.width = frame->getWidth();
    header.height = frame->getHeight();
    header.format = frame->format();
    header.fps = static_cast<int32_t>(static_cast<uint32_t>(frame->getFps()));
    if (const auto record = frame->kframe()) {
        for (int i = 0; i < kShmPlaneCount; ++i) {
            header.linesize[i] = record->linesize[i];
        }
    }

    std::lock_guard<RwSpinLock> lock(impl_->segmentLock);
    if (!impl_->segment.isMapped() && !impl_->acquireChannel(frame, reportedFrameSize)) {
        TARN_LOG_WARN("shared memory get error:{}", impl_->name);
        return;
    }
    impl_->writeFrame(*frame, header);
}

}  // namespace tarn::mediadispatch
