// The system calls of the segment layer, in one place: the library defines them as the plain
// calls (systemcalls.cpp), and a test build may link other definitions that make chosen calls fail
// (out of descriptors, a full /dev/shm, a signal, no permission) where provoking those is slow or
// needs root. Same signatures and errno conventions as the calls they stand for.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace shm::sys {

int shmOpen(const char* name, int flags, mode_t mode);
int shmUnlink(const char* name);
int flock(int fd, int operation);
int fstat(int fd, struct stat* status);
int lstat(const char* path, struct stat* status);
int fchmod(int fd, mode_t mode);
int fchown(int fd, uid_t owner, gid_t group);
int posixFallocate(int fd, off_t offset, off_t length);  // the error is the result, as there
void* mmap(size_t length, int protection, int fd);       // MAP_SHARED from offset 0

}  // namespace shm::sys
