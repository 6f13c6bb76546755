// The free functions of the segment layer: acquire, get_mem, release, is_current, remove.
#include <cerrno>
#include <chrono>
#include <thread>

#include <sys/stat.h>

#include <shm/shm.h>

#include "holderlock.h"
#include "lifetime.h"
#include "report.h"
#include "segmentname.h"
#include "shmid.h"
#include "systemcalls.h"

namespace shm {

namespace {

// Each retry means the name changed hands under us (a creator releasing it, a reclaimer, a writer
// sizing it). A few attempts with growing pauses ride out any honest race; beyond that it is
// somebody deleting and re-creating the name in a loop, and the caller gets EAGAIN.
constexpr int kMaxAttempts = 6;
constexpr auto kFirstPause = std::chrono::microseconds(100);

detail::HoldResult holdForCreating(const std::string& posix, uint64_t size, ShmMode mode,
                                   const detail::CreatorAccess& access, bool& created,
                                   detail::Descriptor& out) {
    using detail::HoldResult;
    const HoldResult result =
        detail::createAndHold(posix, static_cast<uint32_t>(size), access, out);
    if (result != HoldResult::failed || errno != EEXIST || mode == ShmMode::create) {
        created = result == HoldResult::held;
        return result;
    }
    const HoldResult joined = detail::openAndHold(posix, true, out);
    if (joined == HoldResult::failed && errno == ENOENT) {
        return HoldResult::retry;  // its creator deleted it since: create it now
    }
    return joined;
}

}  // namespace

ShmId* acquire(const std::string& name, uint64_t size, ShmMode mode) {
    return acquire(name, size, mode, ShmAccess{});
}

ShmId* acquire(const std::string& name, uint64_t size, ShmMode mode, const ShmAccess& access) {
    using detail::HoldResult;
    if (name.empty()) {
        detail::report("fail acquire: name is empty\n");
        errno = EINVAL;
        return nullptr;
    }
    const bool creating = mode != ShmMode::open;
    const std::string posix = detail::posixName(name);
    detail::CreatorAccess creatorAccess;
    creatorAccess.group = static_cast<gid_t>(access.readerGroup);
    detail::Descriptor fd;
    auto pause = kFirstPause;
    for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        bool created = false;
        const HoldResult result =
            creating ? holdForCreating(posix, size, mode, creatorAccess, created, fd)
                     : detail::openAndHold(posix, false, fd);
        if (result == HoldResult::held) {
            auto* id = new ShmId;
            id->handle = std::move(fd);
            id->size = size;
            id->posix = posix;
            id->path = detail::pathOf(posix);
            id->writable = creating;
            id->created = created;
            return id;
        }
        if (result == HoldResult::failed) {
            break;
        }
        if (result == HoldResult::notReady && !creating) {
            errno = ENOENT;  // an opener sees a segment that is still being created as absent
            break;
        }
        errno = EAGAIN;
        if (attempt > 1) {
            std::this_thread::sleep_for(pause);
            pause *= 2;
        }
    }
    if (creating) {
        detail::report("fail CreateFileMapping[%d]: %s\n", errno, name.c_str());
    }
    return nullptr;
}

void* get_mem(ShmId* id, uint64_t* size) {
    if (id == nullptr) {
        detail::report("fail get_mem: invalid id (null)\n");
        return nullptr;
    }
    if (id->view.address() != nullptr) {
        if (size != nullptr) {
            *size = id->size;
        }
        return id->view.address();
    }
    if (!id->handle.valid()) {
        detail::report("fail to_mem: invalid id (h = null)\n");
        return nullptr;
    }
    struct stat status {};
    if (sys::fstat(id->handle.get(), &status) != 0) {
        detail::report("fail VirtualQuery[%d]\n", errno);
        return nullptr;
    }
    if (!id->view.map(id->handle.get(), static_cast<uint64_t>(status.st_size), id->writable)) {
        detail::report("fail MapViewOfFile[%d]\n", errno);
        return nullptr;
    }
    id->size = id->view.regionSize();
    if (size != nullptr) {
        *size = id->size;
    }
    return id->view.address();
}

int release(ShmId* id) {
    if (id == nullptr) {
        detail::report("fail release: invalid id (null)\n");
        return -1;
    }
    if (id->view.address() == nullptr || id->size == 0) {
        detail::report("fail release: invalid id (mem = %p, size = %zd)\n", id->view.address(),
                       static_cast<ssize_t>(id->size));
    } else {
        id->view.reset();
    }
    if (!id->handle.valid()) {
        detail::report("fail release: invalid id (h = null)\n");
    } else {
        detail::letGo(id->handle, id->posix, id->writable);
    }
    delete id;
    return 0;
}

bool is_current(const ShmId* id) {
    if (id == nullptr || !id->handle.valid()) {
        return false;
    }
    return detail::checkPath(id->handle.get(), id->path) == detail::NameCheck::same;
}

bool was_created(const ShmId* id) {
    return id != nullptr && id->created;
}

int descriptor_of(const ShmId* id) {
    return id != nullptr ? id->handle.get() : -1;
}

int remove(const std::string& name) {
    if (name.empty()) {
        detail::report("fail remove: name is empty\n");
        return -1;
    }
    return 0;
}

}  // namespace shm
