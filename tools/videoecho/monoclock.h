// CLOCK_MONOTONIC in nanoseconds: the one clock that a sender and a reader on the same machine
// share, so the difference of two readings taken in two processes is a latency.
#pragma once

#include <cstdint>
#include <ctime>

namespace videoecho {

inline int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace videoecho
