#include <tarnmediadispatchvideoecho/rwspinlock.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace {

using tarn::mediadispatch::RwSpinLock;

TEST(RwSpinLock, WriterWaitsForTheReadersInside) {
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

}  // namespace
