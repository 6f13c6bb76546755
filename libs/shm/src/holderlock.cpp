#include "holderlock.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <sys/file.h>
#include "systemcalls.h"

namespace shm::detail {

namespace {

// 50 us doubling: about 3 ms before giving up, short enough for one frame of a dispatch thread.
constexpr int kSharedLockAttempts = 7;
constexpr auto kFirstPause = std::chrono::microseconds(50);

int flockRetrying(int fd, int operation) {
    int result;
    do {
        result = sys::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

bool lockShared(int fd) {
    auto pause = kFirstPause;
    for (int attempt = 1;; ++attempt) {
        if (flockRetrying(fd, LOCK_SH | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK || attempt == kSharedLockAttempts) {
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause *= 2;
    }
}

bool tryLockExclusive(int fd) {
    return flockRetrying(fd, LOCK_EX | LOCK_NB) == 0;
}

}  // namespace shm::detail
