// RecursiveSharedMutex: re-entrant exclusive mode for its owner, plain shared mode for readers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <tarnmediadispatchvideoecho/recursivesharedmutex.h>

namespace vantor::mediadispatch {
namespace {

TEST(RecursiveSharedMutex, OwnerTakesTheExclusiveModeAgain) {
    RecursiveSharedMutex lock;
    lock.lock();
    lock.lock();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
    lock.unlock();
    // Still held once: another thread must not get it.
    bool other = true;
    std::thread([&] { other = lock.try_lock(); }).join();
    EXPECT_FALSE(other);
    lock.unlock();
    std::thread([&] {
        other = lock.try_lock();
        if (other) {
            lock.unlock();
        }
    }).join();
    EXPECT_TRUE(other);
}

TEST(RecursiveSharedMutex, ExclusiveHolderKeepsReadersOut) {
    RecursiveSharedMutex lock;
    lock.lock();
    bool reader = true;
    std::thread([&] { reader = lock.try_lock_shared(); }).join();
    EXPECT_FALSE(reader);
    lock.unlock();
    std::thread([&] {
        reader = lock.try_lock_shared();
        if (reader) {
            lock.unlock_shared();
        }
    }).join();
    EXPECT_TRUE(reader);
}

TEST(RecursiveSharedMutex, ReadersShareAndKeepTheWriterOut) {
    RecursiveSharedMutex lock;
    std::shared_lock<RecursiveSharedMutex> first(lock);
    bool second = false;
    bool writer = true;
    std::thread([&] {
        second = lock.try_lock_shared();
        if (second) {
            lock.unlock_shared();
        }
        writer = lock.try_lock();
    }).join();
    EXPECT_TRUE(second);
    EXPECT_FALSE(writer);
}

TEST(RecursiveSharedMutex, NestedWritersOfManyThreadsExcludeEachOther) {
    RecursiveSharedMutex lock;
    int counter = 0;  // guarded by lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                std::lock_guard<RecursiveSharedMutex> outer(lock);
                std::lock_guard<RecursiveSharedMutex> inner(lock);
                ++counter;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 8000);
}

}  // namespace
}  // namespace vantor::mediadispatch
