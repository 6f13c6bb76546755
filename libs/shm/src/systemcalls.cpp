#include "systemcalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace shm::sys {

int shmOpen(const char* name, int flags, mode_t mode) {
    return ::shm_open(name, flags, mode);
}

int shmUnlink(const char* name) {
    return ::shm_unlink(name);
}

int flock(int fd, int operation) {
    return ::flock(fd, operation);
}

int fstat(int fd, struct stat* status) {
    return ::fstat(fd, status);
}

int lstat(const char* path, struct stat* status) {
    return ::lstat(path, status);
}

int fchmod(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
    return ::fchown(fd, owner, group);
}

int posixFallocate(int fd, off_t offset, off_t length) {
    return ::posix_fallocate(fd, offset, length);
}

void* mmap(size_t length, int protection, int fd) {
    return ::mmap(nullptr, length, protection, MAP_SHARED, fd, 0);
}

}  // namespace shm::sys
