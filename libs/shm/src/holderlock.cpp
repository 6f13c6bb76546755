#include "holderlock.h"

#include <cerrno>

#include <sys/file.h>

namespace shm::detail {

namespace {

int flockRetrying(int fd, int operation) {
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

bool lockShared(int fd) {
    return flockRetrying(fd, LOCK_SH) == 0;
}

bool tryLockExclusive(int fd) {
    return flockRetrying(fd, LOCK_EX | LOCK_NB) == 0;
}

}  // namespace shm::detail
