// The lifetime of segments across processes: the creating side deletes the name when it lets go,
// readers never delete anything, and a segment whose holders were killed is not served.
#include <shm/shm.h>
#include <shm/shmhandle.h>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include "childprocess.h"
#include "shmtestnames.h"

namespace {

using shm::ShmHandle;
using shm::ShmMode;

std::string openLine(int error, const std::string& name) {
    return "fail OpenFileMapping[" + std::to_string(error) + "]: " + name + "\n";
}

TEST(ShmLifetime, TheCreatorDeletesTheNameWhenItLetsGoAndReadersKeepTheirView) {
    const std::string name = shmtest::freshName("lastholder");
    shm::ShmId* creator = shm::acquire(name, 4096, ShmMode::createOpen);
    ASSERT_NE(creator, nullptr);
    static_cast<char*>(shm::get_mem(creator))[0] = 'w';
    shm::ShmId* opener = shm::acquire(name, 1, ShmMode::open);
    ASSERT_NE(opener, nullptr);
    EXPECT_TRUE(shm::was_created(creator));
    EXPECT_FALSE(shm::was_created(opener));
    EXPECT_TRUE(shm::is_current(opener));
    EXPECT_EQ(shm::release(creator), 0);
    EXPECT_FALSE(shmtest::existsInDevShm(name));
    EXPECT_EQ(static_cast<const char*>(shm::get_mem(opener))[0], 'w');
    EXPECT_FALSE(shm::is_current(opener));
    EXPECT_EQ(shm::release(opener), 0);
}

TEST(ShmLifetime, AKilledCreatorsSegmentIsNeitherServedNorDeletedButCanBeJoined) {
    const std::string name = shmtest::freshName("killed");
    testsupport::ChildProcess holder([&] {
        ShmHandle handle;
        if (!handle.acquire(name, 4096, ShmMode::createOpen)) {
            return 3;
        }
        static_cast<char*>(handle.mappedAddress())[0] = 'k';
        std::printf("ready\n");
        std::fflush(stdout);
        ::pause();
        return 0;
    });
    ASSERT_EQ(holder.waitFor("ready"), "ready");
    {
        ShmHandle reader;
        ASSERT_TRUE(reader.acquire(name, 1, ShmMode::open));
        EXPECT_EQ(static_cast<const char*>(reader.mappedAddress())[0], 'k');
    }
    EXPECT_TRUE(shmtest::existsInDevShm(name)) << "a reader deletes nothing";
    holder.signal(SIGKILL);
    holder.wait();
    testing::internal::CaptureStderr();
    ShmHandle reader;
    EXPECT_FALSE(reader.acquire(name, 1, ShmMode::open));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), openLine(ENOENT, name));
    EXPECT_TRUE(shmtest::existsInDevShm(name)) << "only its owner's reclaim may delete it";
    ShmHandle joiner;
    ASSERT_TRUE(joiner.acquire(name, 8192, ShmMode::createOpen));
    EXPECT_EQ(static_cast<char*>(joiner.mappedAddress())[0], 'k') << "joined as it was";
    joiner.release();
    EXPECT_FALSE(shmtest::existsInDevShm(name)) << "the joiner let go as its writer";
}

TEST(ShmLifetime, AnUnsizedSegmentOfALiveCreatorIsNotThereYet) {
    const std::string name = shmtest::freshName("unsized");
    // A creator that has created and locked the name but not sized it yet.
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_SH), 0);
    testing::internal::CaptureStderr();
    ShmHandle opener;
    EXPECT_FALSE(opener.acquire(name, 1, ShmMode::open));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), openLine(ENOENT, name));
    EXPECT_TRUE(shmtest::existsInDevShm(name)) << "a live creator's segment is left alone";
    ::close(fd);
    ::shm_unlink(("/" + name).c_str());
}

}  // namespace
