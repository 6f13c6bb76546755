#include "descriptor.h"

#include <cerrno>

#include <unistd.h>

namespace shm::detail {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Descriptor::reset() {
    if (fd_ >= 0) {
        const int saved = errno;
        ::close(fd_);
        fd_ = -1;
        errno = saved;
    }
}

}  // namespace shm::detail
