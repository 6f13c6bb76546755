#include "segmentname.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace shm::detail {

std::string posixName(const std::string& name) {
    return "/" + name;
}

Descriptor openName(const std::string& posix, int flags) {
    int fd;
    do {
        fd = ::shm_open(posix.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    Descriptor descriptor(fd);
    if (descriptor.valid() && (flags & O_CREAT) != 0 && ::fchmod(descriptor.get(), 0666) != 0) {
        return Descriptor();
    }
    return descriptor;
}

bool isCurrent(int fd, const std::string& posix) {
    const int saved = errno;
    struct stat mine {};
    struct stat named {};
    bool same = false;
    Descriptor current = openName(posix, O_RDONLY);
    if (current.valid() && ::fstat(fd, &mine) == 0 && ::fstat(current.get(), &named) == 0) {
        same = mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
    }
    errno = saved;
    return same;
}

void unlinkName(const std::string& posix) {
    const int saved = errno;
    ::shm_unlink(posix.c_str());
    errno = saved;
}

}  // namespace shm::detail
