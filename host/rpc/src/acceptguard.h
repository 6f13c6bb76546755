// What keeps the server's accept loop from spinning when the process runs out of descriptors: a
// spare descriptor held in reserve, given up for a moment to accept and close the connections the
// server cannot serve, and a log that reports a repeated failure at most once per interval with a
// count. Owned by the server; I/O thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace host::rpc::detail {

class SpareDescriptor {
public:
    SpareDescriptor();
    ~SpareDescriptor();
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    // Accepts and closes every connection waiting on the non-blocking `listener`, using the spare
    // descriptor's slot, then takes the slot back. Returns how many were closed.
    std::size_t shedPending(int listener);

private:
    int fd_ = -1;
};

class ThrottledLog {
public:
    explicit ThrottledLog(std::chrono::steady_clock::duration interval) : interval_(interval) {}

    // Logs `message` as a warning if the last report is `interval` old, with the number of
    // occurrences since then; otherwise only counts it.
    void warn(const std::string& message);

private:
    const std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point lastReport_{};
    bool reported_ = false;
    std::size_t unreported_ = 0;
};

}  // namespace host::rpc::detail
