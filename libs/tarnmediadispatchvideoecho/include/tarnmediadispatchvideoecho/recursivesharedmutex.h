// RecursiveSharedMutex: a reader/writer lock whose exclusive mode the owning thread may take again.
// Owned by the object whose data it guards; any thread may lock it. A thread that holds it
// exclusively must not take it shared (the shared mode does not know the owner).
#pragma once

#include <atomic>
#include <shared_mutex>
#include <thread>

#include <tarnmediadispatchvideoecho/export.h>

namespace vantor::mediadispatch {

class TARN_VIDEOECHO_API RecursiveSharedMutex {
public:
    RecursiveSharedMutex() = default;
    RecursiveSharedMutex(const RecursiveSharedMutex&) = delete;
    RecursiveSharedMutex& operator=(const RecursiveSharedMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();
    void lock_shared();
    bool try_lock_shared();
    void unlock_shared();

private:
    std::shared_mutex mutex_;
    // Read by every locking thread to see whether it already owns the lock; written by the owner.
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // touched only by the owner while it holds the lock exclusively
};

}  // namespace vantor::mediadispatch
