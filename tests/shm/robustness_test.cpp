// What another local process can do to the segment layer, tried for real across processes: hold
// a segment's lock, exhaust descriptors, fill /dev/shm, use names the platform refuses, or be
// another user. None of it may hang, crash or busy-loop the process that acquires.
#include <shm/shm.h>
#include <shm/shmhandle.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "shmtestnames.h"

namespace {

using shm::ShmHandle;
using shm::ShmMode;

struct ChildResult {
    int exitCode = -1;  // 128 + signal for a child killed by one
    double cpuSeconds = 0;
    std::string stderrText;
};

// Runs `body` in a forked child with its stderr captured; its result is the exit code.
ChildResult runInChild(const std::function<int()>& body) {
    ChildResult result;
    char path[] = "/tmp/shmrobustXXXXXX";
    const int capture = ::mkstemp(path);
    if (capture < 0) {
        return result;
    }
    ::unlink(path);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(capture, STDERR_FILENO);
        const int code = body();
        std::fflush(stderr);
        ::_exit(code);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    char buffer[4096];
    ssize_t got;
    ::lseek(capture, 0, SEEK_SET);
    while ((got = ::read(capture, buffer, sizeof buffer)) > 0) {
        result.stderrText.append(buffer, static_cast<size_t>(got));
    }
    ::close(capture);
    return result;
}

int countLines(const std::string& text) {
    int lines = 0;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

TEST(ShmRobustness, AnExclusiveLockOfAnotherProcessFailsAcquisitionInsteadOfWaiting) {
    const std::string name = shmtest::freshName("exlock");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t locker = ::fork();
    if (locker == 0) {
        // Somebody else's segment under the name, or a dead writer's that somebody locks.
        const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        char ok = fd >= 0 && ::ftruncate(fd, 4096) == 0 && ::flock(fd, LOCK_EX) == 0 ? 1 : 0;
        if (::write(ready[1], &ok, 1) != 1) {
            ::_exit(3);
        }
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    for (const ShmMode mode : {ShmMode::open, ShmMode::createOpen}) {
        const auto start = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        ShmHandle handle;
        EXPECT_FALSE(handle.acquire(name, 1, mode));
        const std::string lines = testing::internal::GetCapturedStderr();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_NE(lines.find("[" + std::to_string(EWOULDBLOCK) + "]: " + name), std::string::npos)
            << lines;
    }
    ::kill(locker, SIGKILL);
    ::waitpid(locker, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ::shm_unlink(("/" + name).c_str());
}

TEST(ShmRobustness, RunningOutOfDescriptorsIsReportedAsItselfWithoutABusyLoop) {
    const std::string name = shmtest::freshName("emfile");
    ShmHandle existing;
    ASSERT_TRUE(existing.acquire(name, 4096, ShmMode::create));
    const std::string missing = name + "_missing";
    constexpr int kTries = 200;
    const ChildResult child = runInChild([&] {
        const rlimit limit{32, 32};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 2;
        }
        while (::open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
        }
        for (int i = 0; i < kTries; ++i) {
            ShmHandle creator;
            ShmHandle reader;
            if (creator.acquire(missing, 4096, ShmMode::createOpen) ||
                reader.acquire(name, 1, ShmMode::open)) {
                return 3;
            }
        }
        return 0;
    });
    EXPECT_EQ(child.exitCode, 0);
    const std::string code = "[" + std::to_string(EMFILE) + "]";
    EXPECT_NE(child.stderrText.find("fail CreateFileMapping" + code + ": " + missing),
              std::string::npos)
        << child.stderrText;
    EXPECT_NE(child.stderrText.find("fail OpenFileMapping" + code + ": " + name),
              std::string::npos);
    // One create line per acquisition, and one open line per handle's five seconds at most.
    EXPECT_LE(countLines(child.stderrText), 3 * kTries);
    EXPECT_EQ(child.stderrText.find("[" + std::to_string(EAGAIN) + "]"), std::string::npos);
    EXPECT_LT(child.cpuSeconds, 2.0) << "retrying a failure that is not a race";
    EXPECT_FALSE(shmtest::existsInDevShm(missing));
}

TEST(ShmRobustness, NamesThePlatformRefusesFailOnceWithTheirOwnError) {
    struct Case {
        std::string name;
        int error;
    };
    for (const Case& c : {Case{"tarn_shmtest_a/b", EINVAL}, Case{std::string(300, 'n'), EINVAL}}) {
        testing::internal::CaptureStderr();
        ShmHandle handle;
        EXPECT_FALSE(handle.acquire(c.name, 4096, ShmMode::createOpen));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "fail CreateFileMapping[" + std::to_string(c.error) + "]: " + c.name +
                      "\nfail OpenFileMapping[" + std::to_string(c.error) + "]: " + c.name + "\n");
    }
}

TEST(ShmRobustness, AnotherUserCanReadButNeitherWriteNorTruncate) {
    const std::string name = shmtest::freshName("otheruser");
    ShmHandle owner;
    ASSERT_TRUE(owner.acquire(name, 8192, ShmMode::create));
    static_cast<char*>(owner.mappedAddress())[0] = 'o';
    const ChildResult child = runInChild([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            return 2;
        }
        const std::string posix = "/" + name;
        if (::shm_open(posix.c_str(), O_RDWR, 0) >= 0 || errno != EACCES) {
            return 3;
        }
        const int fd = ::shm_open(posix.c_str(), O_RDONLY, 0);
        if (fd < 0 || ::ftruncate(fd, 0) == 0) {
            return 4;
        }
        ShmHandle joiner;
        if (joiner.acquire(name, 8192, ShmMode::createOpen)) {
            return 5;
        }
        ShmHandle reader;
        if (!reader.acquire(name, 1, ShmMode::open) ||
            static_cast<const char*>(reader.mappedAddress())[0] != 'o') {
            return 6;
        }
        return 0;
    });
    EXPECT_EQ(child.exitCode, 0) << child.stderrText;
    struct stat status {};
    ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 8192);
}

TEST(ShmRobustness, AFullDevShmFailsAcquisitionWithoutASignal) {
    const std::string name = shmtest::freshName("full");
    const ChildResult child = runInChild([&] {
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
    EXPECT_EQ(child.exitCode, 0) << child.stderrText;
    EXPECT_NE(
        child.stderrText.find("fail CreateFileMapping[" + std::to_string(ENOSPC) + "]: " + name),
        std::string::npos)
        << child.stderrText;
}

}  // namespace
