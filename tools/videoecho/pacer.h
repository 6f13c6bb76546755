// Keeps a loop at a fixed rate against absolute deadlines (no drift), and lets Ctrl-C cut the
// wait short. One thread uses it.
#pragma once

#include <cstdint>

#include "interrupt.h"
#include "monoclock.h"

namespace videoecho {

class Pacer {
public:
    explicit Pacer(double hz) : periodNs_(static_cast<int64_t>(1e9 / hz)), start_(monotonicNs()) {}

    // Waits for tick `n` (counted from construction); false when interrupted meanwhile.
    bool waitTick(uint64_t n, InterruptWatch& interrupt) {
        const int64_t due = start_ + static_cast<int64_t>(n) * periodNs_;
        const int64_t now = monotonicNs();
        if (due <= now) {
            return !interrupt.interrupted();
        }
        return !interrupt.sleepFor(due - now);
    }
    double elapsedSeconds() const { return static_cast<double>(monotonicNs() - start_) / 1e9; }
    int64_t startNs() const { return start_; }

private:
    int64_t periodNs_;
    int64_t start_;
};

}  // namespace videoecho
