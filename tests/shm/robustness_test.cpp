// What the machine or another local process can do to the segment layer: refuse a system call
// (injected), hold a segment's lock, use names the platform refuses, be another user, fill
// /dev/shm. None of it may hang, crash or busy-loop the process that acquires.
#include <shm/shm.h>
#include <shm/shmhandle.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include "childprocess.h"
#include "injectedsystemcalls.h"
#include "shmtestnames.h"

namespace {

using shm::ShmHandle;
using shm::ShmMode;
using shmtest::Call;

std::string line(const char* call, int error, const std::string& name) {
    return std::string("fail ") + call + "[" + std::to_string(error) + "]: " + name + "\n";
}

TEST(ShmRobustness, AFailingSystemCallIsReportedAsItselfOnceWithoutRetriesOrLeftovers) {
    struct Case {
        Call call;
        int error;
        ShmMode mode;
        int maxCalls;       // a failure that is not a race is not retried (a lock is, a few times)
        const char* lines;  // C: create line, O: open line, M: map line
    };
    const Case cases[] = {
        {Call::shmOpen, EMFILE, ShmMode::createOpen, 1, "CO"},
        {Call::shmOpen, EACCES, ShmMode::open, 1, "O"},
        {Call::fallocate, ENOSPC, ShmMode::createOpen, 1, "CO"},
        {Call::fchmod, EPERM, ShmMode::create, 1, "CO"},
        {Call::lstat, ENOMEM, ShmMode::open, 1, "O"},
        {Call::fstat, EIO, ShmMode::open, 1, "O"},
        {Call::flock, EWOULDBLOCK, ShmMode::open, 8, "O"},
        {Call::mmap, ENOMEM, ShmMode::createOpen, 1, "M"},
    };
    for (const Case& c : cases) {
        const std::string name = shmtest::freshName("inject");
        ShmHandle writer;
        if (c.mode == ShmMode::open) {
            ASSERT_TRUE(writer.acquire(name, 4096, ShmMode::create));
        }
        std::string expected;
        for (const char* l = c.lines; *l != '\0'; ++l) {
            expected += *l == 'C'   ? line("CreateFileMapping", c.error, name)
                        : *l == 'O' ? line("OpenFileMapping", c.error, name)
                                    : "fail MapViewOfFile[" + std::to_string(c.error) + "]\n";
        }
        ShmHandle handle;
        testing::internal::CaptureStderr();
        {
            shmtest::InjectedFailure failure(c.call, c.error);
            EXPECT_FALSE(handle.acquire(name, 4096, c.mode)) << c.error;
            EXPECT_GE(failure.failedCalls(), 1) << c.error;
            EXPECT_LE(failure.failedCalls(), c.maxCalls) << c.error;
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
        handle.release();
        writer.release();
        EXPECT_FALSE(shmtest::existsInDevShm(name)) << c.error;
    }
}

TEST(ShmRobustness, ASignalDuringACallIsRiddenOut) {
    for (const Call call : {Call::shmOpen, Call::flock, Call::fallocate}) {
        const std::string name = shmtest::freshName("eintr");
        shmtest::InjectedFailure failure(call, EINTR, 1);
        ShmHandle handle;
        EXPECT_TRUE(handle.acquire(name, 4096, ShmMode::createOpen));
        EXPECT_EQ(failure.failedCalls(), 1);
    }
}

TEST(ShmRobustness, AnExclusiveLockOfAnotherProcessFailsAcquisitionInsteadOfWaiting) {
    const std::string name = shmtest::freshName("exlock");
    testsupport::ChildProcess locker([&] {
        // Somebody else's segment under the name, or a dead writer's that somebody locks.
        const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || ::ftruncate(fd, 4096) != 0 || ::flock(fd, LOCK_EX) != 0) {
            return 3;
        }
        std::printf("locked\n");
        std::fflush(stdout);
        ::pause();
        return 0;
    });
    ASSERT_EQ(locker.waitFor("locked"), "locked");
    for (const ShmMode mode : {ShmMode::open, ShmMode::createOpen}) {
        const auto start = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        ShmHandle handle;
        EXPECT_FALSE(handle.acquire(name, 1, mode));
        const std::string lines = testing::internal::GetCapturedStderr();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_NE(lines.find(line("OpenFileMapping", EWOULDBLOCK, name)), std::string::npos)
            << lines;
    }
    ::shm_unlink(("/" + name).c_str());
}

TEST(ShmRobustness, NamesThePlatformRefusesFailOnceWithTheirOwnError) {
    for (const std::string& name : {std::string("tarn_shmtest_a/b"), std::string(300, 'n')}) {
        testing::internal::CaptureStderr();
        ShmHandle handle;
        EXPECT_FALSE(handle.acquire(name, 4096, ShmMode::createOpen));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  line("CreateFileMapping", EINVAL, name) + line("OpenFileMapping", EINVAL, name));
    }
}

TEST(ShmRobustness, AnotherUserCanReadButNeitherWriteNorTruncate) {
    const std::string name = shmtest::freshName("otheruser");
    ShmHandle owner;
    ASSERT_TRUE(owner.acquire(name, 8192, ShmMode::create));
    static_cast<char*>(owner.mappedAddress())[0] = 'o';
    testsupport::ChildProcess child([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            return 2;
        }
        const std::string posix = "/" + name;
        if (::shm_open(posix.c_str(), O_RDWR, 0) >= 0 || errno != EACCES) {
            return 3;
        }
        const int fd = ::shm_open(posix.c_str(), O_RDONLY, 0);
        ShmHandle joiner;
        ShmHandle reader;
        if (fd < 0 || ::ftruncate(fd, 0) == 0 || joiner.acquire(name, 8192, ShmMode::createOpen)) {
            return 4;
        }
        return reader.acquire(name, 1, ShmMode::open) &&
                       static_cast<const char*>(reader.mappedAddress())[0] == 'o'
                   ? 0
                   : 5;
    });
    const auto result = child.finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    struct stat status {};
    ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 8192);
}

TEST(ShmRobustness, AFullDevShmFailsAcquisitionWithoutASignal) {
    const std::string name = shmtest::freshName("full");
    testsupport::ChildProcess child([&] {
        // A private mount namespace with a tiny /dev/shm: nothing outside this child sees it.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tarn_shmtest_full", "/dev/shm", "tmpfs", 0, "size=64k") != 0) {
            return 2;
        }
        ShmHandle writer;
        if (writer.acquire(name, 1638448, ShmMode::createOpen)) {
            static_cast<char*>(writer.mappedAddress())[1638447] = 1;  // would be SIGBUS
            return 3;
        }
        return shmtest::existsInDevShm(name) ? 4 : 0;
    });
    const auto result = child.finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find(line("CreateFileMapping", ENOSPC, name)), std::string::npos)
        << result.err;
}

}  // namespace
