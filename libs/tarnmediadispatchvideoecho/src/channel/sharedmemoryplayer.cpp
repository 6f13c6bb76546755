#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>

#include <host/log.h>
#include <tarnmediadispatchvideoecho/rwspinlock.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "channelguard.h"
#include "channelheaderio.h"
#include "channellayout.h"
#include "channelviews.h"

namespace vantor::mediadispatch {

using tarn::mediadispatch::kShmFrameHeaderSize;
using tarn::mediadispatch::kShmPlaneCount;
using tarn::mediadispatch::RwSpinLock;
using tarn::mediadispatch::ShmFrameHeader;
namespace channel = tarn::mediadispatch::channel;

namespace {

// A read that collides with the writer is tried again this often before the last intact frame is
// returned instead. Each attempt first waits for the frame being written to be completed (the
// best moment to start a copy), but a read never waits longer than kReadBudget in all: a writer
// that stalls in the middle of a frame (paused, preempted) must not stall the host's player
// thread for more than a fraction of a frame.
constexpr int kReadAttempts = 4;
constexpr auto kReadBudget = std::chrono::milliseconds(5);

// How often waitForFrame looks for a channel, a writer or play to come back: nothing wakes it.
constexpr auto kLookAgainAfter = std::chrono::milliseconds(5);

// The reads after which waitForFrame goes on waiting.
bool nothingNewYet(ChannelReadStatus status) {
    return status == ChannelReadStatus::sameFrame || status == ChannelReadStatus::busy ||
           status == ChannelReadStatus::noChannel || status == ChannelReadStatus::noWriter ||
           status == ChannelReadStatus::notReading;
}

// Pixel buffers of up to eight planes, owned; the capacity of each is exactly its plane size.
struct PlaneBuffers {
    uint8_t* data[kShmPlaneCount] = {};
    uint64_t capacity[kShmPlaneCount] = {};

    void free() {
        for (int i = 0; i < kShmPlaneCount; ++i) {
            delete[] data[i];
            data[i] = nullptr;
            capacity[i] = 0;
        }
    }
    bool fit(int i, uint64_t size) {
        if (data[i] != nullptr && capacity[i] == size) {
            return true;
        }
        delete[] data[i];
        // size is bounded by the mapped size, so a hostile header cannot make this big.
        data[i] = new (std::nothrow) uint8_t[size];
        capacity[i] = data[i] != nullptr ? size : 0;
        return data[i] != nullptr;
    }
};

// Spins briefly, then yields, until the sequence is even (a frame is complete) or the time is up.
void waitForCommit(const void* guard, std::chrono::steady_clock::time_point deadline) {
    for (int spin = 0;; ++spin) {
        // A writer that the scheduler took off the processor mid-frame finishes only when it
        // runs again; sleeping briefly lets it run on a machine with no core to spare.
        if ((channel::readStamp(guard).sequence & 1) == 0) {
            return;
        }
        if (spin < 64) {
            __builtin_ia32_pause();
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return;
        } else if (spin < 256) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

}  // namespace

struct SharedMemoryPlayer::Impl {
    Impl(const std::string& channelName, std::shared_ptr<tarn::mediadispatch::ChannelViewSet> set)
        : name(channelName),
          viewSet(set ? std::move(set) : std::make_shared<tarn::mediadispatch::ChannelViewSet>()),
          frame(new qv::mediacore::IFrame()) {}

    // One read of the channel as getFrame does it; `used` gets the view it read.
    qv::mediacore::IFrame* read(bool reading, std::shared_ptr<const channel::ChannelView>& used);

    // All of these need frameMutex.
    void freePlanes();
    void takeHeader(const ShmFrameHeader& header);
    bool copyPlanes(const uint8_t* base, const channel::FrameLayout& layout, PlaneBuffers& into);
    void adoptSpare(const channel::FrameLayout& layout);
    qv::mediacore::IFrame* readUnguarded(const channel::ChannelView& view);
    qv::mediacore::IFrame* readGuarded(const std::shared_ptr<const channel::ChannelView>& view);
    qv::mediacore::IFrame* lastIntact(ChannelReadStatus status);
    qv::mediacore::IFrame* nothing(ChannelReadStatus status);

    const std::string name;
    const std::shared_ptr<tarn::mediadispatch::ChannelViewSet> viewSet;

    // Taken shared around each read; nothing takes it exclusively.
    RwSpinLock segmentLock;

    mutable std::mutex frameMutex;
    qv::mediacore::IFrame* frame;              // guarded by frameMutex; owned
    int32_t width = 1920;                      // guarded by frameMutex
    int32_t height = 1080;                     // guarded by frameMutex
    int32_t format = 0;                        // guarded by frameMutex
    int32_t fps = 0;                           // guarded by frameMutex
    uint64_t planeCapacity[kShmPlaneCount]{};  // guarded by frameMutex
    // A guarded read copies into these first and swaps them in only when the copy proved intact,
    // so the frame object always holds the last intact frame.
    PlaneBuffers spare;                                  // guarded by frameMutex
    bool holdsIntactFrame = false;                       // guarded by frameMutex
    ChannelReadInfo last;                                // guarded by frameMutex
    std::weak_ptr<const channel::ChannelView> lastView;  // guarded by frameMutex

    std::atomic<bool> sendFrameEnabled{true};
};

void SharedMemoryPlayer::Impl::freePlanes() {
    const auto record = frame->kframe();
    for (int i = 0; i < kShmPlaneCount; ++i) {
        delete[] record->data[i];
        record->data[i] = nullptr;
        planeCapacity[i] = 0;
    }
    holdsIntactFrame = false;
}

void SharedMemoryPlayer::Impl::takeHeader(const ShmFrameHeader& header) {
    const auto record = frame->kframe();
    for (int i = 0; i < kShmPlaneCount; ++i) {
        record->linesize[i] = header.linesize[i];
    }
    width = header.width;
    height = header.height;
    format = header.format;
    fps = header.fps;
    frame->setWidth(width);
    frame->setHeight(height);
    frame->setFormat(format);
    frame->setFps(static_cast<uint64_t>(static_cast<int64_t>(fps)));
}

bool SharedMemoryPlayer::Impl::copyPlanes(const uint8_t* base, const channel::FrameLayout& layout,
                                          PlaneBuffers& into) {
    for (int i = 0; i < kShmPlaneCount; ++i) {
        const channel::PlaneSpan& plane = layout.planes[i];
        if (plane.size == 0) {
            continue;
        }
        if (!into.fit(i, plane.size)) {
            return false;
        }
        // The writer may be overwriting these bytes right now; the guard's sequence tells
        // afterwards whether it did. Only the header snapshot decides sizes and offsets.
        std::memcpy(into.data[i], base + plane.offset, plane.size);
    }
    return true;
}

void SharedMemoryPlayer::Impl::adoptSpare(const channel::FrameLayout& layout) {
    const auto record = frame->kframe();
    for (int i = 0; i < kShmPlaneCount; ++i) {
        if (layout.planes[i].size == 0) {
            continue;
        }
        std::swap(record->data[i], spare.data[i]);
        std::swap(planeCapacity[i], spare.capacity[i]);
    }
}

qv::mediacore::IFrame* SharedMemoryPlayer::Impl::nothing(ChannelReadStatus status) {
    last.status = status;
    return nullptr;
}

qv::mediacore::IFrame* SharedMemoryPlayer::Impl::lastIntact(ChannelReadStatus status) {
    last.status = status;
    return holdsIntactFrame ? frame : nullptr;
}

qv::mediacore::IFrame* SharedMemoryPlayer::Impl::readUnguarded(const channel::ChannelView& view) {
    const ShmFrameHeader header = channel::readHeader(view.base());
    takeHeader(header);
    last = ChannelReadInfo{};
    const channel::FrameLayout layout = channel::layoutOf(header, view.size());
    if (!layout.valid) {
        freePlanes();
        return nothing(ChannelReadStatus::invalidHeader);
    }
    if (!copyPlanes(view.base(), layout, spare)) {
        freePlanes();
        return nothing(ChannelReadStatus::invalidHeader);
    }
    adoptSpare(layout);
    holdsIntactFrame = false;  // nothing can tell whether it is
    last.status = ChannelReadStatus::unguarded;
    return frame;
}

qv::mediacore::IFrame* SharedMemoryPlayer::Impl::readGuarded(
    const std::shared_ptr<const channel::ChannelView>& view) {
    const void* guard = view->guardBase();
    const bool freshView = lastView.owner_before(view) || view.owner_before(lastView);
    lastView = view;
    const auto deadline = std::chrono::steady_clock::now() + kReadBudget;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        const channel::GuardStamp stamp = channel::readStamp(guard);
        if (holdsIntactFrame && !freshView && stamp.sequence == last.sequence) {
            last.status = ChannelReadStatus::sameFrame;
            return frame;
        }
        if (stamp.sequence == 0) {
            return lastIntact(ChannelReadStatus::busy);  // no frame completed yet
        }
        if ((stamp.sequence & 1) != 0) {
            waitForCommit(guard, deadline);
            continue;
        }
        const ShmFrameHeader header = channel::readHeader(view->base());
        const channel::FrameLayout layout = channel::layoutOf(header, view->size());
        const bool copied = layout.valid && copyPlanes(view->base(), layout, spare);
        if (channel::sequenceAfterCopy(guard) != stamp.sequence) {
            waitForCommit(guard, deadline);
            continue;
        }
        if (!layout.valid) {
            // A complete frame that does not fit (or a hostile header): as the plain layout has
            // it, the frame takes the header and loses its buffers.
            takeHeader(header);
            freePlanes();
            last.sequence = stamp.sequence;
            return nothing(ChannelReadStatus::invalidHeader);
        }
        if (!copied) {
            return lastIntact(ChannelReadStatus::busy);
        }
        takeHeader(header);
        adoptSpare(layout);
        holdsIntactFrame = true;
        last.sequence = stamp.sequence;
        last.monotonicNs = stamp.monotonicNs;
        last.realtimeNs = stamp.realtimeNs;
        last.status = ChannelReadStatus::newFrame;
        return frame;
    }
    return lastIntact(ChannelReadStatus::busy);
}

SharedMemoryPlayer::SharedMemoryPlayer(std::shared_ptr<qv::mediacore::IMeta> meta,
                                       const std::string& name,
                                       std::shared_ptr<tarn::mediadispatch::ChannelViewSet> views)
    : IMediaPlayer(std::move(meta), name), impl_(std::make_unique<Impl>(name, std::move(views))) {}

SharedMemoryPlayer::~SharedMemoryPlayer() {
    setPlayCompleted(false);
    if (impl_->frame != nullptr) {
        std::lock_guard<std::mutex> lock(impl_->frameMutex);
        impl_->freePlanes();
        impl_->spare.free();
        delete impl_->frame;
        impl_->frame = nullptr;
    }
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

ChannelReadInfo SharedMemoryPlayer::lastRead() const {
    std::lock_guard<std::mutex> lock(impl_->frameMutex);
    ChannelReadInfo info = impl_->last;
    info.sequence /= 2;
    return info;
}

qv::mediacore::IFrame* SharedMemoryPlayer::Impl::read(
    bool reading, std::shared_ptr<const channel::ChannelView>& used) {
    if (!reading) {
        std::lock_guard<std::mutex> frameGuard(frameMutex);
        last.status = ChannelReadStatus::notReading;
        return nullptr;
    }
    std::shared_lock<RwSpinLock> segmentGuard(segmentLock);
    // The view is shared with the other players of the set and kept between reads while
    // the name still refers to it: re-mapping for every read would cost page faults on every byte
    // copied (about 57x a plain copy of a 1.6 MB frame).
    channel::ChannelViews& views = viewSet->views();
    std::shared_ptr<const channel::ChannelView> view = views.view(name);
    // A dead or stopped writer's last frame is not served: one system call asks for its lock (a
    // paused writer keeps it). A view of a writer that has gone is dropped, and the name opened
    // once more in case a new writer has taken it over.
    bool writerGone = false;
    for (int fresh = 0; view && view->guarded() && fresh < 2; ++fresh) {
        writerGone = !channel::writerIsAlive(view->guard.descriptor());
        if (!writerGone) {
            break;
        }
        views.forget(name, view);
        view = fresh == 0 ? views.view(name) : nullptr;
        writerGone = view != nullptr || fresh > 0;  // else: no channel under the name any more
    }
    used = view;
    std::lock_guard<std::mutex> frameGuard(frameMutex);
    if (frame == nullptr) {
        return nullptr;
    }
    if (!view) {
        lastView.reset();
        return nothing(writerGone ? ChannelReadStatus::noWriter : ChannelReadStatus::noChannel);
    }
    if (view->base() == nullptr) {
        TARN_LOG_WARN("Recv failed. name:{}", name);
        return nothing(ChannelReadStatus::noChannel);
    }
    if (view->size() < kShmFrameHeaderSize) {
        return nothing(ChannelReadStatus::invalidHeader);
    }
    return view->guarded() ? readGuarded(view) : readUnguarded(*view);
}

bool SharedMemoryPlayer::isReading() const {
    const auto state = getPlayState();
    return state != qv::mediacore::kPlayerStateStopped &&
           state != qv::mediacore::kPlayerStateDestroyed &&
           impl_->sendFrameEnabled.load(std::memory_order_relaxed);
}

qv::mediacore::IFrame* SharedMemoryPlayer::getFrame(double) {
    std::shared_ptr<const channel::ChannelView> used;
    return impl_->read(isReading(), used);
}

qv::mediacore::IFrame* SharedMemoryPlayer::waitForFrame(std::chrono::nanoseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    uint64_t reReadFor = 1;  // odd: no committed sequence has been read again yet
    const ChannelReadInfo before = [&] {
        std::lock_guard<std::mutex> frameGuard(impl_->frameMutex);
        return impl_->last;
    }();
    for (;;) {
        std::shared_ptr<const channel::ChannelView> view;  // keeps the guard mapped while asleep
        qv::mediacore::IFrame* got = impl_->read(isReading(), view);
        ChannelReadInfo info;
        {
            std::lock_guard<std::mutex> frameGuard(impl_->frameMutex);
            info = impl_->last;
        }
        // The invalid frame found last time, read again, is nothing new either.
        const bool sameInvalid = info.status == ChannelReadStatus::invalidHeader &&
                                 before.status == info.status && before.sequence == info.sequence;
        const auto left = deadline - std::chrono::steady_clock::now();
        if ((!nothingNewYet(info.status) && !sameInvalid) ||
            left <= std::chrono::nanoseconds::zero()) {
            return got;
        }
        if (view && view->guarded()) {
            const uint64_t current = channel::readStamp(view->guardBase()).sequence;
            // A frame committed since the read is read at once (once: a frame the read could
            // not take, for want of memory, is waited past like any other).
            if ((current & 1) == 0 && current != info.sequence && current != reReadFor) {
                reReadFor = current;
                continue;
            }
            if (channel::waitForCommitAfter(view->guardBase(), current, left)) {
                continue;
            }
        }
        // Nothing to sleep on (no channel, no writer, not reading): look again in a while.
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(left, kLookAgainAfter));
    }
}

}  // namespace vantor::mediadispatch
