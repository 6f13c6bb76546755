#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

#include <host/log.h>
#include <shm/shmhandle.h>
#include <tarnmediadispatchvideoecho/rwspinlock.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "channelguard.h"
#include "channelheaderio.h"
#include "channellayout.h"
#include "channelreclaim.h"

namespace tarn::mediadispatch {

namespace {

// Reasons an acquisition can fail that the standard lines do not make obvious; each is explained
// once per writer.
enum Explained : uint32_t {
    kReservedName = 1u << 0,
    kOtherWriter = 1u << 1,
    kForeignGuard = 1u << 2,
    kForeignChannel = 1u << 3,
    kOtherUsersLeftover = 1u << 4,
};

}  // namespace

struct SharedMemoryIPCServer::Impl {
    explicit Impl(const std::string& channelName)
        : name(channelName), guardName(channel::guardNameOf(channelName)) {}

    bool acquireChannel(const qv::mediacore::IFrame* frame, uint32_t reportedFrameSize);
    bool acquireGuard();
    void explainOnce(Explained reason, const std::string& text);
    void explainExisting(const std::string& what, bool isGuard);
    void letGo();
    void writeFrame(const qv::mediacore::IFrame& frame, const ShmFrameHeader& header);

    const std::string name;
    const std::string guardName;

    std::mutex stateMutex;
    bool stopped = true;     // guarded by stateMutex
    uint32_t frameSize = 0;  // guarded by stateMutex; only ever 0, reported in the acquisition line

    std::atomic<int64_t> readerGroup{-1};

    // Held exclusively while a frame is written and while stop lets go of the segment; never
    // taken while stateMutex is held.
    RwSpinLock segmentLock;
    shm::ShmHandle segment;                // guarded by segmentLock
    shm::ShmHandle guard;                  // guarded by segmentLock
    channel::ReclaimCursor reclaimCursor;  // guarded by segmentLock
    uint32_t explained = 0;                // guarded by segmentLock
    std::string problem;                   // guarded by segmentLock
};

void SharedMemoryIPCServer::Impl::explainOnce(Explained reason, const std::string& text) {
    problem = text;
    if ((explained & reason) == 0) {
        explained |= reason;
        TARN_LOG_WARN("{}", text);
    }
}

void SharedMemoryIPCServer::Impl::explainExisting(const std::string& what, bool isGuard) {
    const channel::ExistingGuard found = channel::inspectGuard(name);
    if (isGuard && found.ours && found.writerAlive) {
        explainOnce(kOtherWriter,
                    fmt::format("channel {} is written by another live writer (pid {}); this "
                                "writer stays off it until that one lets go",
                                channel::printable(name), found.writerPid));
        return;
    }
    const long long owner = channel::ownerOf(what);
    if (found.ours && !found.writerAlive && owner >= 0 && ::geteuid() != 0 &&
        owner != static_cast<long long>(::geteuid())) {
        // Our own kind of leftover, but in a sticky /dev/shm only its owner or root may delete
        // it: every frame would fail the same way until one of them does.
        explainOnce(kOtherUsersLeftover,
                    fmt::format("channel {}: /dev/shm/{} was left by a writer (pid {}, gone) of "
                                "uid {}; this user cannot remove it: run 'videoecho clean "
                                "--remove' as uid {} or root, or use another name",
                                channel::printable(name), channel::printable(what), found.writerPid,
                                owner, owner));
        return;
    }
    explainOnce(isGuard ? kForeignGuard : kForeignChannel,
                fmt::format("channel {}: /dev/shm/{} exists but is not a channel of a live writer "
                            "(owner uid {}); it is left alone: remove it as that user or root "
                            "(videoecho clean)",
                            channel::printable(name), channel::printable(what), owner));
}

bool SharedMemoryIPCServer::Impl::acquireGuard() {
    shm::ShmAccess access;
    access.readerGroup = readerGroup.load(std::memory_order_relaxed);
    guard.setAccess(access);
    segment.setAccess(access);
    if (!guard.acquire(guardName, channel::kGuardSegmentSize, shm::ShmMode::create)) {
        if (errno == EEXIST) {
            explainExisting(guardName, true);
        }
        return false;
    }
    if (!channel::lockAsWriter(guard.descriptor())) {
        guard.release();
        return false;
    }
    // Marked at once, so that a writer killed from here on leaves a guard that the next writer
    // recognises as ours and reclaims; the channel's identity follows once it exists.
    channel::initialiseGuard(guard.mappedAddress(), 0, 0);
    return true;
}

bool SharedMemoryIPCServer::Impl::acquireChannel(const qv::mediacore::IFrame* frame,
                                                 uint32_t reportedFrameSize) {
    if (frame == nullptr) {
        return false;
    }
    if (channel::isReservedName(name)) {
        explainOnce(kReservedName,
                    fmt::format("channel name {} ends in \"{}\", which is reserved for the "
                                "guards of channels",
                                channel::printable(name), channel::kGuardSuffix));
        return false;
    }
    // What dead writers left: this name first (so that it can be created afresh), then a few
    // others, so that nothing piles up while writers come and go.
    channel::reclaimIfAbandoned(name);
    channel::reclaimSome(reclaimCursor);

    // The guard comes first and goes last: a channel segment without a guard of ours is never
    // one of ours, and is left alone.
    problem.clear();
    bool valid = acquireGuard();
    int error = errno;
    if (valid) {
        valid = segment.acquire(name, kShmChannelSize, shm::ShmMode::create);
        error = errno;
        if (!valid && error == EEXIST) {
            explainExisting(name, false);
        }
    }
    if (!valid && problem.empty()) {
        problem = fmt::format("channel {}: {} (errno {})", channel::printable(name),
                              std::strerror(error), error);
    }
    TARN_LOG_INFO("SharedMemoryIPCServer acquireShm name:{}, size:{}, shmSize:{}, valid:{}", name,
                  reportedFrameSize, segment.mappedSize(), valid);
    struct stat status {};
    if (!valid || segment.mappedSize() < kShmChannelSize ||
        ::fstat(segment.descriptor(), &status) != 0) {
        if (problem.empty()) {
            problem = fmt::format("channel {}: the segment is too small", channel::printable(name));
        }
        letGo();
        return false;
    }
    channel::recordChannel(guard.mappedAddress(), static_cast<uint64_t>(status.st_dev),
                           static_cast<uint64_t>(status.st_ino));
    return true;
}

void SharedMemoryIPCServer::Impl::letGo() {
    segment.release();
    guard.release();
}

void SharedMemoryIPCServer::Impl::writeFrame(const qv::mediacore::IFrame& frame,
                                             const ShmFrameHeader& header) {
    auto* base = static_cast<uint8_t*>(segment.mappedAddress());
    const uint64_t mapped = segment.mappedSize();
    void* guardBase = guard.mappedAddress();
    channel::beginFrame(guardBase);
    channel::writeHeader(base, header);

    const auto record = frame.kframe();
    uint64_t position = kShmFrameHeaderSize;
    for (int i = 0; record && i < kShmPlaneCount; ++i) {
        // A negative line size or height describes no buffer we could read safely: the plane is
        // skipped, and the reader refuses the header that announces it.
        const int64_t size = channel::planeBytes(header.height, header.linesize[i]);
        if (size <= 0 || record->data[i] == nullptr) {
            continue;
        }
        if (position + static_cast<uint64_t>(size) > mapped) {
            break;
        }
        // A reader copying at the same moment sees the guard's odd sequence, or a changed one
        // after its copy, and discards what it copied.
        std::memcpy(base + position, record->data[i], static_cast<size_t>(size));
        position += static_cast<uint64_t>(size);
    }
    channel::commitFrame(guardBase);
}

SharedMemoryIPCServer::SharedMemoryIPCServer(const std::string& name)
    : impl_(std::make_unique<Impl>(name)) {}

SharedMemoryIPCServer::~SharedMemoryIPCServer() {
    stop();
    impl_->letGo();
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
    impl_->letGo();
    return true;
}

std::string SharedMemoryIPCServer::acquisitionProblem() const {
    std::lock_guard<RwSpinLock> lock(impl_->segmentLock);
    return impl_->segment.isMapped() ? std::string() : impl_->problem;
}

void SharedMemoryIPCServer::setReaderGroup(int64_t gid) {
    impl_->readerGroup.store(gid, std::memory_order_relaxed);
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
