// The free functions of the segment layer: acquire, get_mem, release, is_shared_and_current,
// remove.
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

namespace shm {

namespace {

// Each retry means the name changed hands under us; that cannot go on for long unless somebody
// deletes and re-creates the name in a tight loop.
constexpr int kMaxAttempts = 200;

detail::HoldResult holdForCreating(const std::string& posix, uint64_t size, ShmMode mode,
                                   detail::Descriptor& out) {
    using detail::HoldResult;
    const HoldResult created = detail::createAndHold(posix, static_cast<uint32_t>(size), out);
    if (created != HoldResult::failed || errno != EEXIST) {
        return created;
    }
    const HoldResult joined = detail::openAndHold(posix, out);
    if (joined == HoldResult::failed && errno == ENOENT) {
        return HoldResult::retry;  // its last holder deleted it since: create it now
    }
    if (joined == HoldResult::held && mode == ShmMode::create) {
        detail::letGo(out, posix);
        errno = EEXIST;
        return HoldResult::failed;
    }
    return joined;
}

}  // namespace

ShmId* acquire(const std::string& name, uint64_t size, ShmMode mode) {
    using detail::HoldResult;
    if (name.empty()) {
        detail::report("fail acquire: name is empty\n");
        errno = EINVAL;
        return nullptr;
    }
    const bool creating = mode != ShmMode::open;
    const std::string posix = detail::posixName(name);
    detail::Descriptor fd;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const HoldResult result =
            creating ? holdForCreating(posix, size, mode, fd) : detail::openAndHold(posix, fd);
        if (result == HoldResult::held) {
            auto* id = new ShmId;
            id->handle = std::move(fd);
            id->size = size;
            id->posix = posix;
            return id;
        }
        if (result == HoldResult::failed) {
            break;
        }
        if (result == HoldResult::notReady) {
            if (!creating) {
                errno = ENOENT;  // an opener sees a segment that is still being created as absent
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        errno = EAGAIN;
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
    if (::fstat(id->handle.get(), &status) != 0) {
        detail::report("fail VirtualQuery[%d]\n", errno);
        return nullptr;
    }
    if (!id->view.map(id->handle.get(), static_cast<uint64_t>(status.st_size))) {
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
        detail::letGo(id->handle, id->posix);
    }
    delete id;
    return 0;
}

bool is_shared_and_current(ShmId* id) {
    if (id == nullptr || !id->handle.valid()) {
        return false;
    }
    const int fd = id->handle.get();
    if (detail::tryLockExclusive(fd)) {
        // The only holder: releasing would delete it, so a fresh open could not give it back.
        detail::lockShared(fd);
        return false;
    }
    // The failed attempt has dropped our shared lock (Linux converts a flock by removing the old
    // lock first); hold again. In that gap the other holders may all have let go, and the last
    // of them deleted the name. Nothing else deletes a held segment, so a link count above 0 on
    // our own descriptor means the name still refers to it: one fstat instead of a path lookup.
    detail::lockShared(fd);
    struct stat status {};
    return ::fstat(fd, &status) == 0 && status.st_nlink > 0;
}

int remove(const std::string& name) {
    if (name.empty()) {
        detail::report("fail remove: name is empty\n");
        return -1;
    }
    return 0;
}

}  // namespace shm
