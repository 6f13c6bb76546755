// RecursiveSharedMutex: re-entrant exclusive mode for its owner, plain shared mode for readers.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include <tarnmediadispatchvideoecho/recursivesharedmutex.h>

namespace vantor::mediadispatch {
namespace {

// What another thread gets from `attempt` now (it releases what it got).
bool fromAnotherThread(RecursiveSharedMutex& lock, bool shared) {
    bool got = false;
    std::thread([&] {
        got = shared ? lock.try_lock_shared() : lock.try_lock();
        if (got) {
            shared ? lock.unlock_shared() : lock.unlock();
        }
    }).join();
    return got;
}

TEST(RecursiveSharedMutex, OwnerReentersAndReleasesOnTheLastUnlock) {
    RecursiveSharedMutex lock;
    lock.lock();
    lock.lock();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
    lock.unlock();
    EXPECT_FALSE(fromAnotherThread(lock, false));
    EXPECT_FALSE(fromAnotherThread(lock, true));
    lock.unlock();
    EXPECT_TRUE(fromAnotherThread(lock, false));
    lock.lock_shared();
    EXPECT_TRUE(fromAnotherThread(lock, true));
    EXPECT_FALSE(fromAnotherThread(lock, false));
    lock.unlock_shared();
    EXPECT_TRUE(fromAnotherThread(lock, false));
}

}  // namespace
}  // namespace vantor::mediadispatch
