#include "injectedsystemcalls.h"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include "systemcalls.h"

namespace shmtest {

namespace {

struct Armed {
    std::atomic<int> error{0};
    std::atomic<int> remaining{0};  // < 0: every call
    std::atomic<int> failed{0};
};

Armed armed[static_cast<int>(Call::count)];

// true when this call is to fail (errno set).
bool injected(Call call) {
    Armed& slot = armed[static_cast<int>(call)];
    const int error = slot.error.load();
    for (int left = slot.remaining.load(); error != 0 && left != 0;) {
        if (left < 0 || slot.remaining.compare_exchange_weak(left, left - 1)) {
            ++slot.failed;
            errno = error;
            return true;
        }
    }
    return false;
}

}  // namespace

InjectedFailure::InjectedFailure(Call call, int error, int times) : call_(call) {
    Armed& slot = armed[static_cast<int>(call)];
    slot.failed = 0;
    slot.remaining = times;
    slot.error = error;
}

InjectedFailure::~InjectedFailure() {
    armed[static_cast<int>(call_)].error = 0;
}

int InjectedFailure::failedCalls() const {
    return armed[static_cast<int>(call_)].failed.load();
}

}  // namespace shmtest

namespace shm::sys {

using shmtest::Call;
using shmtest::injected;

int shmOpen(const char* name, int flags, mode_t mode) {
    return injected(Call::shmOpen) ? -1 : ::shm_open(name, flags, mode);
}
int shmUnlink(const char* name) {
    return ::shm_unlink(name);
}
int flock(int fd, int operation) {
    return injected(Call::flock) ? -1 : ::flock(fd, operation);
}
int fstat(int fd, struct stat* status) {
    return injected(Call::fstat) ? -1 : ::fstat(fd, status);
}
int lstat(const char* path, struct stat* status) {
    return injected(Call::lstat) ? -1 : ::lstat(path, status);
}
int fchmod(int fd, mode_t mode) {
    return injected(Call::fchmod) ? -1 : ::fchmod(fd, mode);
}
int fchown(int fd, uid_t owner, gid_t group) {
    return ::fchown(fd, owner, group);
}
int posixFallocate(int fd, off_t offset, off_t length) {
    return injected(Call::fallocate) ? errno : ::posix_fallocate(fd, offset, length);
}
void* mmap(size_t length, int protection, int fd) {
    return injected(Call::mmap) ? MAP_FAILED
                                : ::mmap(nullptr, length, protection, MAP_SHARED, fd, 0);
}

}  // namespace shm::sys
