#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

#include <host/log.h>
#include <shm/shmhandle.h>
#include <tarnmediadispatchvideoecho/rwspinlock.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "channelheaderio.h"
#include "channellayout.h"

namespace vantor::mediadispatch {

using tarn::mediadispatch::kShmFrameHeaderSize;
using tarn::mediadispatch::kShmPlaneCount;
using tarn::mediadispatch::RwSpinLock;
using tarn::mediadispatch::ShmFrameHeader;
namespace channel = tarn::mediadispatch::channel;

struct SharedMemoryPlayer::Impl {
    explicit Impl(const std::string& channelName)
        : name(channelName), frame(new qv::mediacore::IFrame()) {}

    // Frees the pixel buffers of `frame`; frameMutex must be held.
    void freePlanes();
    // Copies one validated frame out of the view; false when a buffer could not be allocated.
    bool copyPlanes(const uint8_t* base, const channel::FrameLayout& layout);

    const std::string name;

    // Taken shared around each read; nothing takes it exclusively.
    RwSpinLock segmentLock;
    // Used by getFrame only (one player thread), under segmentLock. It stays mapped between reads
    // while somebody else, normally the writer, still holds the segment under this name.
    shm::ShmHandle segment;

    std::mutex frameMutex;
    qv::mediacore::IFrame* frame;              // guarded by frameMutex; owned
    int32_t width = 1920;                      // guarded by frameMutex
    int32_t height = 1080;                     // guarded by frameMutex
    int32_t format = 0;                        // guarded by frameMutex
    int32_t fps = 0;                           // guarded by frameMutex
    uint64_t planeCapacity[kShmPlaneCount]{};  // guarded by frameMutex

    std::atomic<bool> sendFrameEnabled{true};
};

void SharedMemoryPlayer::Impl::freePlanes() {
    const auto record = frame->kframe();
    for (int i = 0; i < kShmPlaneCount; ++i) {
        delete[] record->data[i];
        record->data[i] = nullptr;
        planeCapacity[i] = 0;
    }
}

bool SharedMemoryPlayer::Impl::copyPlanes(const uint8_t* base, const channel::FrameLayout& layout) {
    const auto record = frame->kframe();
    for (int i = 0; i < kShmPlaneCount; ++i) {
        const channel::PlaneSpan& plane = layout.planes[i];
        if (plane.size == 0) {
            continue;
        }
        if (record->data[i] == nullptr || planeCapacity[i] != plane.size) {
            delete[] record->data[i];
            // plane.size is bounded by the mapped size, so a hostile header cannot make this big.
            record->data[i] = new (std::nothrow) uint8_t[plane.size];
            planeCapacity[i] = record->data[i] != nullptr ? plane.size : 0;
            if (record->data[i] == nullptr) {
                return false;
            }
        }
        // The writer may be overwriting these bytes right now; the copy may then mix two frames,
        // which the channel allows. Only the header snapshot decides sizes and offsets.
        std::memcpy(record->data[i], base + plane.offset, plane.size);
    }
    return true;
}

SharedMemoryPlayer::SharedMemoryPlayer(std::shared_ptr<qv::mediacore::IMeta> meta,
                                       const std::string& name)
    : IMediaPlayer(std::move(meta), name), impl_(std::make_unique<Impl>(name)) {}

SharedMemoryPlayer::~SharedMemoryPlayer() {
    setPlayCompleted(false);
    if (impl_->frame != nullptr) {
        std::lock_guard<std::mutex> lock(impl_->frameMutex);
        impl_->freePlanes();
        delete impl_->frame;
        impl_->frame = nullptr;
    }
    impl_->segment.release();
}

bool SharedMemoryPlayer::init() {
    return true;
}

bool SharedMemoryPlayer::play(double, double) {
    setPlayState(qv::mediacore::kPlayerStatePlaying);
    return true;
}

bool SharedMemoryPlayer::stop(bool) {
    setPlayCompleted(false);
    setPlayState(qv::mediacore::kPlayerStateStopped);
    return true;
}

bool SharedMemoryPlayer::pause(double) {
    setPlayState(qv::mediacore::kPlayerStatePaused);
    return true;
}

bool SharedMemoryPlayer::resume(double) {
    play(0.0, 0.0);
    return true;
}

void SharedMemoryPlayer::destroyFrame() {}

void SharedMemoryPlayer::setVideoEchoSendFrameEnabled(bool enabled) {
    impl_->sendFrameEnabled.store(enabled, std::memory_order_relaxed);
}

qv::mediacore::IFrame* SharedMemoryPlayer::getFrame(double) {
    const auto state = getPlayState();
    if (state == qv::mediacore::kPlayerStateStopped ||
        state == qv::mediacore::kPlayerStateDestroyed) {
        return nullptr;
    }
    if (!impl_->sendFrameEnabled.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    std::shared_lock<RwSpinLock> segmentGuard(impl_->segmentLock);
    // Re-mapping the segment for every read would cost page faults on every byte copied (about
    // 57x a plain copy of a 1.6 MB frame). The view is kept instead while the segment is still the
    // one under the name and somebody else holds it; otherwise the handle lets go (deleting a
    // segment nobody else holds) and opens the name afresh, which fails when the writer is gone
    // and follows a segment that a new writer created.
    if (!impl_->segment.reacquire(impl_->name, 1, shm::ShmMode::open)) {
        return nullptr;
    }
    const auto* base = static_cast<const uint8_t*>(impl_->segment.mappedAddress());
    if (base == nullptr) {
        TARN_LOG_WARN("Recv failed. name:{}", impl_->name);
        return nullptr;
    }
    const uint64_t mapped = impl_->segment.mappedSize();
    if (mapped < kShmFrameHeaderSize) {
        return nullptr;
    }

    std::lock_guard<std::mutex> frameGuard(impl_->frameMutex);
    qv::mediacore::IFrame* frame = impl_->frame;
    if (frame == nullptr) {
        return nullptr;
    }
    const ShmFrameHeader header = channel::readHeader(base);
    const auto record = frame->kframe();
    for (int i = 0; i < kShmPlaneCount; ++i) {
        record->linesize[i] = header.linesize[i];
    }
    impl_->width = header.width;
    impl_->height = header.height;
    impl_->format = header.format;
    impl_->fps = header.fps;
    frame->setWidth(impl_->width);
    frame->setHeight(impl_->height);
    frame->setFormat(impl_->format);
    frame->setFps(static_cast<uint64_t>(static_cast<int64_t>(impl_->fps)));

    const channel::FrameLayout layout = channel::layoutOf(header, mapped);
    if (!layout.valid || !impl_->copyPlanes(base, layout)) {
        impl_->freePlanes();
        return nullptr;
    }
    return frame;
}

}  // namespace vantor::mediadispatch
