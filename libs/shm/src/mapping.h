// Mapping: owns one shared view of a descriptor (read-only or read/write) and unmaps it once.
// Move-only.
#pragma once

#include <cstdint>

namespace shm::detail {

class Mapping {
public:
    Mapping() = default;
    ~Mapping() { reset(); }
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // Maps `length` bytes of `fd` from offset 0, writable only when asked. Returns false with errno
    // set on failure.
    bool map(int fd, uint64_t length, bool writable);
    void reset();

    void* address() const { return address_; }
    // Whole pages: what the kernel actually maps for `length` bytes.
    uint64_t regionSize() const { return regionSize_; }

private:
    void* address_ = nullptr;
    uint64_t regionSize_ = 0;
};

uint64_t pageSize();

}  // namespace shm::detail
