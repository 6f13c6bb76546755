#include <tarnmediadispatchvideoecho/recursivesharedmutex.h>

namespace vantor::mediadispatch {

void RecursiveSharedMutex::lock() {
    const auto self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) != self) {
        mutex_.lock();
        owner_.store(self, std::memory_order_relaxed);
    }
    ++depth_;
}

bool RecursiveSharedMutex::try_lock() {
    const auto self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) != self) {
        if (!mutex_.try_lock()) {
            return false;
        }
        owner_.store(self, std::memory_order_relaxed);
    }
    ++depth_;
    return true;
}

void RecursiveSharedMutex::unlock() {
    if (--depth_ <= 0) {
        depth_ = 0;
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
}

void RecursiveSharedMutex::lock_shared() {
    mutex_.lock_shared();
}

bool RecursiveSharedMutex::try_lock_shared() {
    return mutex_.try_lock_shared();
}

void RecursiveSharedMutex::unlock_shared() {
    mutex_.unlock_shared();
}

}  // namespace vantor::mediadispatch
