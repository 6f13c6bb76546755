// RwSpinLock: a process-local reader/writer spin lock on one 32-bit word (bit 31: a writer holds or
// waits; bits 0-30: readers). Each channel writer or player owns its own; it orders the threads of
// that one object and is never placed in shared memory. Any thread may lock; not recursive.
#pragma once

#include <atomic>
#include <cstdint>

#include <tarnmediadispatchvideoecho/export.h>

namespace tarn::mediadispatch {

// Waiting strategy of the spin lock: spin a little, then pause the processor, then yield, then
// sleep 1 ms per round, so that a long wait costs no processor time.
class TARN_VIDEOECHO_API SpinBackoff {
public:
    void wait();

private:
    uint32_t rounds_ = 0;
};

class TARN_VIDEOECHO_API RwSpinLock {
public:
    RwSpinLock() = default;
    RwSpinLock(const RwSpinLock&) = delete;
    RwSpinLock& operator=(const RwSpinLock&) = delete;

    void lock();
    void unlock() { word_.store(0, std::memory_order_release); }
    void lock_shared();
    void unlock_shared() { word_.fetch_sub(1, std::memory_order_release); }

    uint32_t rawWord() const { return word_.load(std::memory_order_relaxed); }

    static constexpr uint32_t kWriterFlag = 0x80000000u;

private:
    std::atomic<uint32_t> word_{0};
};

}  // namespace tarn::mediadispatch
