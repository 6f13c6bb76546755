// RecursiveSharedMutex: re-entrant exclusive mode for its owner, plain shared mode for readers.
#include <gtest/gtest.h>

#include <thread>

#include <tarnmediadispatchvideoecho/recursivesharedmutex.h>

namespace vantor::mediadispatch {
namespace {

// What another thread gets now, exclusive and shared ("xs", "x-", "-s" or "--"); it releases
// what it got.
std::string fromAnotherThread(RecursiveSharedMutex& lock) {
    std::string got;
    std::thread([&] {
        got += lock.try_lock() ? (lock.unlock(), "x") : "-";
        got += lock.try_lock_shared() ? (lock.unlock_shared(), "s") : "-";
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
    EXPECT_EQ(fromAnotherThread(lock), "--");
    lock.unlock();
    EXPECT_EQ(fromAnotherThread(lock), "xs");
    lock.lock_shared();
    EXPECT_EQ(fromAnotherThread(lock), "-s");
    lock.unlock_shared();
    EXPECT_EQ(fromAnotherThread(lock), "xs");
}

}  // namespace
}  // namespace vantor::mediadispatch
