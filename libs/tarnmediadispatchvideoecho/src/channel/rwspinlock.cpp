#include <tarnmediadispatchvideoecho/rwspinlock.h>

#include <chrono>
#include <thread>

namespace tarn::mediadispatch {

void SpinBackoff::wait() {
    if (rounds_ < 4) {
        ++rounds_;
    } else if (rounds_ < 16) {
        __builtin_ia32_pause();
        ++rounds_;
    } else if (rounds_ < 32) {
        std::this_thread::yield();
        ++rounds_;
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RwSpinLock::lock() {
    SpinBackoff backoff;
    for (;;) {
        const uint32_t old = word_.fetch_or(kWriterFlag, std::memory_order_acquire);
        if (old == 0) {
            return;
        }
        if ((old & kWriterFlag) == 0) {
            // The flag is ours now and keeps new readers out; wait for the present ones to leave.
            SpinBackoff drain;
            while ((word_.load(std::memory_order_acquire) & ~kWriterFlag) != 0) {
                drain.wait();
            }
            return;
        }
        backoff.wait();
    }
}

void RwSpinLock::lock_shared() {
    SpinBackoff backoff;
    uint32_t seen = word_.load(std::memory_order_relaxed);
    for (;;) {
        if ((seen & kWriterFlag) != 0) {
            backoff.wait();
            seen = word_.load(std::memory_order_relaxed);
            continue;
        }
        if (word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
            return;
        }
    }
}

}  // namespace tarn::mediadispatch
