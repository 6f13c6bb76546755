#include "lifetime.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "holderlock.h"
#include "segmentname.h"

namespace shm::detail {

HoldResult createAndHold(const std::string& posix, uint32_t size, Descriptor& out) {
    Descriptor fd = openName(posix, O_RDWR | O_CREAT | O_EXCL);
    if (!fd.valid()) {
        return HoldResult::failed;
    }
    if (!lockShared(fd.get())) {
        letGo(fd, posix);
        return HoldResult::failed;
    }
    // Between O_EXCL and the lock nobody held the file, so an opener may have taken it for an
    // abandoned one and deleted it.
    if (!isCurrent(fd.get(), posix)) {
        return HoldResult::retry;
    }
    int result;
    do {
        result = ::ftruncate(fd.get(), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        letGo(fd, posix);
        return HoldResult::failed;
    }
    out = std::move(fd);
    return HoldResult::held;
}

HoldResult openAndHold(const std::string& posix, Descriptor& out) {
    Descriptor fd = openName(posix, O_RDWR);
    if (!fd.valid()) {
        return HoldResult::failed;
    }
    if (tryLockExclusive(fd.get())) {
        // Nobody holds it: abandoned by processes that died. Delete it rather than serve it.
        if (isCurrent(fd.get(), posix)) {
            unlinkName(posix);
        }
        return HoldResult::retry;
    }
    if (!lockShared(fd.get())) {
        return HoldResult::failed;
    }
    if (!isCurrent(fd.get(), posix)) {
        return HoldResult::retry;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        letGo(fd, posix);
        return HoldResult::failed;
    }
    if (status.st_size == 0) {
        letGo(fd, posix);
        return HoldResult::notReady;
    }
    out = std::move(fd);
    return HoldResult::held;
}

void letGo(Descriptor& fd, const std::string& posix) {
    if (!fd.valid()) {
        return;
    }
    // The exclusive lock is granted only when no other descriptor holds the file. The name is
    // checked too: a file that was already replaced under the name must not delete its successor.
    if (tryLockExclusive(fd.get()) && isCurrent(fd.get(), posix)) {
        unlinkName(posix);
    }
    fd.reset();
}

}  // namespace shm::detail
