// The lifetime of segments across processes: the creating side deletes the name when it lets go,
// readers never delete anything, and a segment whose holders were killed is not served.
#include <shm/shm.h>
#include <shm/shmhandle.h>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "shmtestnames.h"

namespace {

using shm::ShmHandle;
using shm::ShmMode;

// A child process that creates `name`, writes `marker` at offset 0, tells the parent and waits to
// be killed.
pid_t spawnHolder(const std::string& name, char marker) {
    int ready[2];
    if (::pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ShmHandle handle;
        if (!handle.acquire(name, 4096, ShmMode::createOpen)) {
            ::_exit(3);
        }
        static_cast<char*>(handle.mappedAddress())[0] = marker;
        const char ok = 1;
        if (::write(ready[1], &ok, 1) != 1) {
            ::_exit(4);
        }
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char ok = 0;
    const bool started = ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    return started ? pid : -1;
}

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

TEST(ShmLifetime, TheCreatorDeletesTheNameWhenItLetsGoAndReadersKeepTheirView) {
    const std::string name = shmtest::freshName("lastholder");
    ShmHandle creator;
    ShmHandle opener;
    ASSERT_TRUE(creator.acquire(name, 4096, ShmMode::createOpen));
    static_cast<char*>(creator.mappedAddress())[0] = 'w';
    ASSERT_TRUE(opener.acquire(name, 1, ShmMode::open));
    creator.release();
    EXPECT_FALSE(shmtest::existsInDevShm(name));
    EXPECT_EQ(static_cast<const char*>(opener.mappedAddress())[0], 'w');
    EXPECT_FALSE(opener.isCurrent());
    opener.release();
}

TEST(ShmLifetime, AnotherProcessSeesTheSegmentWhileItsCreatorLives) {
    const std::string name = shmtest::freshName("crossprocess");
    const pid_t child = spawnHolder(name, 'c');
    ASSERT_GT(child, 0);
    ShmHandle reader;
    EXPECT_TRUE(reader.acquire(name, 1, ShmMode::open));
    EXPECT_EQ(static_cast<char*>(reader.mappedAddress())[0], 'c');
    killAndReap(child);
    reader.release();
    EXPECT_TRUE(shmtest::existsInDevShm(name)) << "a reader deletes nothing";
    ::shm_unlink(("/" + name).c_str());
}

TEST(ShmLifetime, ASegmentOfAKilledProcessIsNeitherServedNorDeleted) {
    const std::string name = shmtest::freshName("deadopen");
    const pid_t child = spawnHolder(name, 'k');
    ASSERT_GT(child, 0);
    killAndReap(child);
    testing::internal::CaptureStderr();
    ShmHandle reader;
    EXPECT_FALSE(reader.acquire(name, 1, ShmMode::open));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fail OpenFileMapping[" + std::to_string(ENOENT) + "]: " + name + "\n");
    ShmHandle exclusive;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(exclusive.acquire(name, 4096, ShmMode::create));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(shmtest::existsInDevShm(name)) << "only its owner's reclaim may delete it";
    ShmHandle joiner;
    ASSERT_TRUE(joiner.acquire(name, 8192, ShmMode::createOpen));
    EXPECT_EQ(static_cast<char*>(joiner.mappedAddress())[0], 'k') << "joined as it was";
    EXPECT_FALSE(joiner.created());
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
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fail OpenFileMapping[" + std::to_string(ENOENT) + "]: " + name + "\n");
    EXPECT_TRUE(shmtest::existsInDevShm(name)) << "a live creator's segment is left alone";
    ::close(fd);
    ::shm_unlink(("/" + name).c_str());
}

TEST(ShmLifetime, IsCurrentTellsWhetherTheNameStillRefersToTheSegment) {
    const std::string name = shmtest::freshName("current");
    shm::ShmId* mine = shm::acquire(name, 4096, ShmMode::createOpen);
    ASSERT_NE(mine, nullptr);
    shm::ShmId* other = shm::acquire(name, 1, ShmMode::open);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(shm::is_current(mine));
    EXPECT_TRUE(shm::is_current(other));
    EXPECT_TRUE(shm::was_created(mine));
    EXPECT_FALSE(shm::was_created(other));
    EXPECT_EQ(shm::release(mine), 0);
    EXPECT_FALSE(shm::is_current(other));
    EXPECT_EQ(shm::release(other), 0);
    EXPECT_FALSE(shmtest::existsInDevShm(name));
    EXPECT_FALSE(shm::is_current(nullptr));
}

}  // namespace
