// Descriptor: owns one file descriptor and closes it once. Move-only; -1 means "closed".
#pragma once

namespace shm::detail {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now (close is never retried: after EINTR the descriptor is gone already on Linux).
    // errno is left as it was, so that callers can still report the failure that made them close.
    void reset();

private:
    int fd_ = -1;
};

}  // namespace shm::detail
