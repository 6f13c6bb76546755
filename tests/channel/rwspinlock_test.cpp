#include <tarnmediadispatchvideoecho/rwspinlock.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using tarn::mediadispatch::RwSpinLock;

TEST(RwSpinLock, WriterWaitsForReadersAndKeepsNewReadersOut) {
    RwSpinLock lock;
    lock.lock_shared();
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        lock.lock();
        writerIn = true;
        lock.unlock();
    });
    // The writer announces itself but may not enter while the reader is in.
    while ((lock.rawWord() & RwSpinLock::kWriterFlag) == 0) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(writerIn);
    lock.unlock_shared();
    writer.join();
    EXPECT_TRUE(writerIn);
    EXPECT_EQ(lock.rawWord(), 0u);
}

TEST(RwSpinLock, ExcludesWritersFromEachOtherAndFromReaders) {
    RwSpinLock lock;
    long counter = 0;  // guarded by lock
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<RwSpinLock> guard(lock);
                counter += 2;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 20000; ++i) {
            std::shared_lock<RwSpinLock> guard(lock);
            if (counter % 2 != 0) {
                torn = true;
            }
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 3 * 20000 * 2);
    EXPECT_FALSE(torn);
}

}  // namespace
