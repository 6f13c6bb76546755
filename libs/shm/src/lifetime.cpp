#include "lifetime.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "holderlock.h"
#include "systemcalls.h"

namespace shm::detail {

namespace {

HoldResult fromCheck(NameCheck check) {
    return check == NameCheck::changed ? HoldResult::retry : HoldResult::failed;
}

}  // namespace

HoldResult createAndHold(const std::string& posix, uint32_t size, const CreatorAccess& access,
                         Descriptor& out) {
    Descriptor fd = openName(posix, O_RDWR | O_CREAT | O_EXCL, access);
    if (!fd.valid()) {
        return HoldResult::failed;
    }
    if (!lockShared(fd.get())) {
        letGo(fd, posix, true);
        return HoldResult::failed;
    }
    const NameCheck check = checkName(fd.get(), posix);
    if (check != NameCheck::same) {
        return fromCheck(check);
    }
    // posix_fallocate reports its error as its result, not through errno, and is not restarted
    // after a signal.
    int result;
    do {
        result = sys::posixFallocate(fd.get(), 0, static_cast<off_t>(size));
    } while (result == EINTR);
    if (result != 0) {
        letGo(fd, posix, true);
        errno = result;
        return HoldResult::failed;
    }
    out = std::move(fd);
    return HoldResult::held;
}

HoldResult openAndHold(const std::string& posix, bool writable, Descriptor& out) {
    Descriptor fd = openName(posix, writable ? O_RDWR : O_RDONLY);
    if (!fd.valid()) {
        return HoldResult::failed;
    }
    struct stat status {};
    if (sys::fstat(fd.get(), &status) != 0) {
        return HoldResult::failed;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return HoldResult::failed;
    }
    if (!writable && tryLockExclusive(fd.get())) {
        // Nobody holds it: left by processes that died, or its creator has not locked it yet.
        // Not served, and not deleted either: a reader has no business deleting anything.
        errno = ENOENT;
        return HoldResult::failed;
    }
    if (!lockShared(fd.get())) {
        return HoldResult::failed;
    }
    const NameCheck check = checkName(fd.get(), posix);
    if (check != NameCheck::same) {
        return fromCheck(check);
    }
    if (sys::fstat(fd.get(), &status) != 0) {
        return HoldResult::failed;
    }
    if (status.st_size == 0) {
        return HoldResult::notReady;
    }
    out = std::move(fd);
    return HoldResult::held;
}

void letGo(Descriptor& fd, const std::string& posix, bool removeName) {
    if (!fd.valid()) {
        return;
    }
    if (removeName && checkName(fd.get(), posix) == NameCheck::same) {
        const int saved = errno;
        unlinkName(posix);
        errno = saved;
    }
    fd.reset();
}

}  // namespace shm::detail
