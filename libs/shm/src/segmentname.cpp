#include "segmentname.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include "systemcalls.h"

namespace shm::detail {

namespace {

constexpr mode_t kEveryoneReads = 0644;
constexpr mode_t kGroupReads = 0640;

bool applyAccess(int fd, const CreatorAccess& access) {
    const bool grouped = access.group != static_cast<gid_t>(-1);
    if (grouped && sys::fchown(fd, static_cast<uid_t>(-1), access.group) != 0) {
        return false;
    }
    return sys::fchmod(fd, grouped ? kGroupReads : kEveryoneReads) == 0;
}

}  // namespace

std::string posixName(const std::string& name) {
    return "/" + name;
}

std::string pathOf(const std::string& posix) {
    return "/dev/shm" + posix;
}

Descriptor openName(const std::string& posix, int flags, const CreatorAccess& access) {
    int fd;
    do {
        // Created with no permission at all until applyAccess has set them, so that nobody can
        // open it for writing in between.
        fd = sys::shmOpen(posix.c_str(), flags | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    Descriptor descriptor(fd);
    if (descriptor.valid() && (flags & O_CREAT) != 0 && !applyAccess(descriptor.get(), access)) {
        const int error = errno;
        sys::shmUnlink(posix.c_str());
        descriptor.reset();
        errno = error;
    }
    return descriptor;
}

NameCheck checkPath(int fd, const std::string& path) {
    struct stat mine {};
    struct stat named {};
    if (sys::fstat(fd, &mine) != 0) {
        return NameCheck::failed;
    }
    if (sys::lstat(path.c_str(), &named) != 0) {
        return errno == ENOENT ? NameCheck::changed : NameCheck::failed;
    }
    return mine.st_dev == named.st_dev && mine.st_ino == named.st_ino ? NameCheck::same
                                                                      : NameCheck::changed;
}

bool unlinkName(const std::string& posix) {
    return sys::shmUnlink(posix.c_str()) == 0;
}

}  // namespace shm::detail
