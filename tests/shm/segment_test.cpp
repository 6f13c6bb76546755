#include <shm/shm.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "shmtestnames.h"

namespace {

using shm::ShmMode;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(ShmSegment, AcquireOfAnEmptyNameReportsAndReturnsNull) {
    CaptureStderr();
    EXPECT_EQ(shm::acquire("", 4096, ShmMode::createOpen), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "fail acquire: name is empty\n");
}

TEST(ShmSegment, OpenOnlyFailsSilentlyForAMissingName) {
    const std::string name = shmtest::freshName("openmissing");
    CaptureStderr();
    EXPECT_EQ(shm::acquire(name, 1, ShmMode::open), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_FALSE(shmtest::existsInDevShm(name));
}

TEST(ShmSegment, AnyModeButOpenCreates) {
    const std::string name = shmtest::freshName("oddmode");
    shm::ShmId* id = shm::acquire(name, 4096, static_cast<ShmMode>(7));
    ASSERT_NE(id, nullptr);
    EXPECT_TRUE(shmtest::existsInDevShm(name));
    EXPECT_NE(shm::get_mem(id), nullptr);
    EXPECT_EQ(shm::release(id), 0);
}

TEST(ShmSegment, GetMemMapsOnceAndReportsTheRegionSize) {
    const std::string name = shmtest::freshName("getmem");
    shm::ShmId* id = shm::acquire(name, 5000, ShmMode::create);
    ASSERT_NE(id, nullptr);
    uint64_t size = 0;
    void* first = shm::get_mem(id, &size);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(size, 8192u);
    uint64_t again = 0;
    EXPECT_EQ(shm::get_mem(id, &again), first);
    EXPECT_EQ(again, 8192u);
    EXPECT_EQ(shm::release(id), 0);
}

TEST(ShmSegment, OnlyTheLowThirtyTwoBitsOfTheSizeAreUsed) {
    const std::string name = shmtest::freshName("low32");
    shm::ShmId* id = shm::acquire(name, (uint64_t{1} << 32) + 4096, ShmMode::create);
    ASSERT_NE(id, nullptr);
    uint64_t size = 0;
    ASSERT_NE(shm::get_mem(id, &size), nullptr);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(shm::release(id), 0);
}

TEST(ShmSegment, NullIdsAreReported) {
    CaptureStderr();
    EXPECT_EQ(shm::get_mem(nullptr), nullptr);
    EXPECT_EQ(shm::release(nullptr), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "fail get_mem: invalid id (null)\nfail release: invalid id (null)\n");
}

TEST(ShmSegment, ReleaseOfAnUnmappedIdReportsItsViewAndStillLetsGo) {
    const std::string name = shmtest::freshName("unmapped");
    shm::ShmId* id = shm::acquire(name, 4096, ShmMode::create);
    ASSERT_NE(id, nullptr);
    char expected[128];
    std::snprintf(expected, sizeof expected, "fail release: invalid id (mem = %p, size = %zd)\n",
                  static_cast<void*>(nullptr), static_cast<ssize_t>(4096));
    CaptureStderr();
    EXPECT_EQ(shm::release(id), 0);
    EXPECT_EQ(GetCapturedStderr(), expected);
    EXPECT_FALSE(shmtest::existsInDevShm(name));
}

TEST(ShmSegment, RemoveChecksTheNameOnly) {
    const std::string name = shmtest::freshName("remove");
    shm::ShmId* id = shm::acquire(name, 4096, ShmMode::create);
    ASSERT_NE(id, nullptr);
    CaptureStderr();
    EXPECT_EQ(shm::remove(""), -1);
    EXPECT_EQ(shm::remove(name), 0);
    EXPECT_EQ(GetCapturedStderr(), "fail remove: name is empty\n");
    EXPECT_TRUE(shmtest::existsInDevShm(name));
    EXPECT_EQ(shm::release(id), 0);
}

TEST(ShmSegment, CreatedSegmentsAreWritableByTheirOwnerOnlyWhateverTheUmask) {
    struct Case {
        int64_t group;
        mode_t mode;
    };
    for (const Case c : {Case{-1, 0644}, Case{12345, 0640}}) {
        const std::string name = shmtest::freshName("mode");
        const mode_t previous = ::umask(077);
        shm::ShmAccess access;
        access.readerGroup = c.group;
        shm::ShmId* id = shm::acquire(name, 4096, ShmMode::create, access);
        ::umask(previous);
        ASSERT_NE(id, nullptr);
        struct stat status {};
        ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, c.mode);
        if (c.group >= 0) {
            EXPECT_EQ(status.st_gid, static_cast<gid_t>(c.group));
        }
        EXPECT_EQ(shm::release(id), 0);
    }
}

}  // namespace
