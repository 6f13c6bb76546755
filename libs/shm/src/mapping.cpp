#include "mapping.h"

#include <cerrno>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>
#include "systemcalls.h"

namespace shm::detail {

uint64_t pageSize() {
    static const uint64_t size = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

Mapping::Mapping(Mapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      regionSize_(std::exchange(other.regionSize_, 0)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        reset();
        address_ = std::exchange(other.address_, nullptr);
        regionSize_ = std::exchange(other.regionSize_, 0);
    }
    return *this;
}

bool Mapping::map(int fd, uint64_t length, bool writable) {
    reset();
    void* address = sys::mmap(length, writable ? PROT_READ | PROT_WRITE : PROT_READ, fd);
    if (address == MAP_FAILED) {
        return false;
    }
    const uint64_t page = pageSize();
    address_ = address;
    regionSize_ = (length + page - 1) / page * page;
    return true;
}

void Mapping::reset() {
    if (address_ != nullptr) {
        const int saved = errno;
        ::munmap(address_, regionSize_);
        address_ = nullptr;
        regionSize_ = 0;
        errno = saved;
    }
}

}  // namespace shm::detail
