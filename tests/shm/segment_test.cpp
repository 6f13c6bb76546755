// The segment layer: the lines it reports, sizes and permissions, lifetime across processes, and
// what the machine or another local process can do to it (refused system calls, another user, a
// full /dev/shm). None of it may hang, crash or busy-loop the process that acquires.
#include <shm/shm.h>
#include <shm/shmhandle.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "childprocess.h"
#include "systemcalls.h"

namespace shmtest {

enum class Call { none, shmOpen, flock, fchmod, fallocate, mmap };

// The one call that is to fail, with which error, how many more times (< 0: every time), and how
// many times it did. Armed by one test thread at a time.
struct {
    std::atomic<Call> call{Call::none};
    std::atomic<int> error{0};
    std::atomic<int> remaining{0};
    std::atomic<int> failed{0};
} armed;

// true when this call is to fail (errno set).
bool injected(Call call) {
    for (int left = armed.remaining.load(); armed.call.load() == call && left != 0;) {
        if (left < 0 || armed.remaining.compare_exchange_weak(left, left - 1)) {
            ++armed.failed;
            errno = armed.error.load();
            return true;
        }
    }
    return false;
}

}  // namespace shmtest

// The segment layer's system calls, linked in place of its plain definitions: each forwards to
// the real call unless a failure is armed for it.
namespace shm::sys {

using shmtest::Call;
using shmtest::injected;

int shmOpen(const char* name, int flags, mode_t mode) {
    return injected(Call::shmOpen) ? -1 : ::shm_open(name, flags, mode);
}
int shmUnlink(const char* name) {
    return ::shm_unlink(name);
}
int flock(int fd, int operation) {
    return injected(Call::flock) ? -1 : ::flock(fd, operation);
}
int fstat(int fd, struct stat* status) {
    return ::fstat(fd, status);
}
int lstat(const char* path, struct stat* status) {
    return ::lstat(path, status);
}
int fchmod(int fd, mode_t mode) {
    return injected(Call::fchmod) ? -1 : ::fchmod(fd, mode);
}
int fchown(int fd, uid_t owner, gid_t group) {
    return ::fchown(fd, owner, group);
}
int posixFallocate(int fd, off_t offset, off_t length) {
    return injected(Call::fallocate) ? errno : ::posix_fallocate(fd, offset, length);
}
void* mmap(size_t length, int protection, int fd) {
    return injected(Call::mmap) ? MAP_FAILED
                                : ::mmap(nullptr, length, protection, MAP_SHARED, fd, 0);
}

}  // namespace shm::sys

namespace {

using shm::ShmHandle;
using shm::ShmMode;
using shmtest::Call;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::string freshName(const std::string& stem) {
    std::string name = "tarn_shmtest_" + std::to_string(::getpid()) + "_" + stem;
    ::shm_unlink(("/" + name).c_str());
    return name;
}

bool exists(const std::string& name) {
    struct stat status {};
    return ::stat(("/dev/shm/" + name).c_str(), &status) == 0;
}

std::string line(const char* call, int error, const std::string& name) {
    return std::string("fail ") + call + "[" + std::to_string(error) + "]: " + name + "\n";
}

TEST(ShmSegment, RefusedCallsReportTheirOwnLineAndKeepWhatIsHeld) {
    const std::string name = freshName("refused");
    ShmHandle held;
    ASSERT_TRUE(held.acquire(name, 4096, ShmMode::createOpen));
    void* const view = held.mappedAddress();
    shm::ShmId* unmapped = shm::acquire(name + "_u", 4096, ShmMode::create);
    ASSERT_NE(unmapped, nullptr);
    char unmappedLine[128];
    std::snprintf(unmappedLine, sizeof unmappedLine,
                  "fail release: invalid id (mem = %p, size = %zd)\n", static_cast<void*>(nullptr),
                  static_cast<ssize_t>(4096));
    struct Case {
        std::function<bool()> call;  // true when the call returned what it must
        std::string lines;
    } const cases[] = {
        {[] { return shm::acquire("", 4096, ShmMode::createOpen) == nullptr; },
         "fail acquire: name is empty\n"},
        {[&] { return !held.acquire(name, 0, ShmMode::open); }, "fail acquire: size is 0\n"},
        {[] { return shm::get_mem(nullptr) == nullptr; }, "fail get_mem: invalid id (null)\n"},
        {[] { return shm::release(nullptr) == -1; }, "fail release: invalid id (null)\n"},
        {[] { return shm::remove("") == -1; }, "fail remove: name is empty\n"},
        {[&] { return shm::release(unmapped) == 0; }, unmappedLine},
        {[&] { return !ShmHandle().acquire(name, 4096, ShmMode::create); },
         line("CreateFileMapping", EEXIST, name) + line("OpenFileMapping", EEXIST, name)},
        {[] { return !ShmHandle().acquire("tarn_shmtest_a/b", 4096, ShmMode::createOpen); },
         line("CreateFileMapping", EINVAL, "tarn_shmtest_a/b") +
             line("OpenFileMapping", EINVAL, "tarn_shmtest_a/b")},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        CaptureStderr();
        EXPECT_TRUE(cases[i].call()) << "case " << i;
        EXPECT_EQ(GetCapturedStderr(), cases[i].lines) << "case " << i;
    }
    EXPECT_EQ(held.mappedAddress(), view);
    EXPECT_FALSE(exists(name + "_u")) << "an unmapped id still lets go";
}

TEST(ShmSegment, SizesInWholePagesOwnerOnlyWritesAndTheCreatorDeletesTheNameWhenItLetsGo) {
    struct Case {
        uint64_t size, mapped;
        ShmMode mode;
        int64_t group;
        mode_t permissions;
    };
    for (const Case& c : {Case{5000, 8192, ShmMode::create, -1, 0644},
                          Case{(uint64_t{1} << 32) + 4096, 4096, ShmMode::create, 12345, 0640},
                          Case{1638448, 1642496, static_cast<ShmMode>(7), -1, 0644}}) {
        const std::string name = freshName("size");
        const mode_t previous = ::umask(077);
        shm::ShmAccess access;
        access.readerGroup = c.group;
        shm::ShmId* writer = shm::acquire(name, c.size, c.mode, access);
        ::umask(previous);
        ASSERT_NE(writer, nullptr);
        ShmHandle reader;
        ASSERT_TRUE(reader.acquire(name, 1 << 24, ShmMode::createOpen)) << "joins, keeps the size";
        EXPECT_TRUE(shm::was_created(writer));
        EXPECT_FALSE(reader.created());
        EXPECT_EQ(reader.mappedSize(), c.mapped);
        struct stat status {};
        ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, c.permissions);
        EXPECT_TRUE(c.group < 0 || status.st_gid == static_cast<gid_t>(c.group));
        static_cast<char*>(shm::get_mem(writer))[c.mapped - 1] = 'z';
        EXPECT_EQ(shm::release(writer), 0);
        EXPECT_FALSE(exists(name)) << "the creator deletes the name while others hold it";
        EXPECT_EQ(static_cast<const char*>(reader.mappedAddress())[c.mapped - 1], 'z');
    }
}

TEST(ShmSegment, AKilledCreatorsSegmentIsNeitherServedNorDeletedButCanBeJoined) {
    const std::string name = freshName("killed");
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
    EXPECT_TRUE(ShmHandle().acquire(name, 1, ShmMode::open)) << "served while its creator lives";
    holder.signal(SIGKILL);
    holder.wait();
    CaptureStderr();
    EXPECT_FALSE(ShmHandle().acquire(name, 1, ShmMode::open));
    EXPECT_EQ(GetCapturedStderr(), line("OpenFileMapping", ENOENT, name));
    EXPECT_TRUE(exists(name)) << "a reader deletes nothing";
    ShmHandle joiner;
    ASSERT_TRUE(joiner.acquire(name, 8192, ShmMode::createOpen));
    EXPECT_EQ(static_cast<char*>(joiner.mappedAddress())[0], 'k') << "joined as it was";
    joiner.release();
    EXPECT_FALSE(exists(name)) << "the joiner let go as its writer";
}

TEST(ShmSegment, AFailingSystemCallIsReportedAsItselfOnceAndASignalIsRiddenOut) {
    // maxCalls: a failure that is not a race is not retried (a lock is, a few times). lines: C a
    // create line, O an open line, M a map line; none: it succeeds.
    struct Case {
        Call call;
        int error;
        ShmMode mode;
        int maxCalls;
        const char* lines;
    } const cases[] = {
        {Call::shmOpen, EMFILE, ShmMode::createOpen, 1, "CO"},
        {Call::shmOpen, EACCES, ShmMode::open, 1, "O"},
        {Call::fallocate, ENOSPC, ShmMode::createOpen, 1, "CO"},
        {Call::fchmod, EPERM, ShmMode::create, 1, "CO"},
        {Call::flock, EWOULDBLOCK, ShmMode::open, 8, "O"},
        {Call::mmap, ENOMEM, ShmMode::createOpen, 1, "M"},
        {Call::shmOpen, EINTR, ShmMode::createOpen, 1, ""},
        {Call::flock, EINTR, ShmMode::createOpen, 1, ""},
        {Call::fallocate, EINTR, ShmMode::createOpen, 1, ""},
    };
    for (const Case& c : cases) {
        const std::string name = freshName("inject");
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
        CaptureStderr();
        shmtest::armed.failed = 0;
        shmtest::armed.remaining = c.error == EINTR ? 1 : -1;  // EINTR: repeated, not reported
        shmtest::armed.error = c.error;
        shmtest::armed.call = c.call;
        EXPECT_EQ(handle.acquire(name, 4096, c.mode), expected.empty()) << c.error;
        shmtest::armed.call = Call::none;
        EXPECT_GE(shmtest::armed.failed, 1) << c.error;
        EXPECT_LE(shmtest::armed.failed, c.maxCalls) << c.error;
        EXPECT_EQ(GetCapturedStderr(), expected);
        handle.release();
        writer.release();
        EXPECT_FALSE(exists(name)) << c.error;
    }
}

TEST(ShmSegment, AFullDevShmRaisesNoSignalAndAnotherUserCanReadButNeitherWriteNorTruncate) {
    const std::string full = freshName("full");
    const std::string name = freshName("otheruser");
    testsupport::ChildProcess child([&] {
        // A private mount namespace with a tiny /dev/shm: nothing outside this child sees it.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tarn_shmtest", "/dev/shm", "tmpfs", 0, "mode=1777,size=64k") != 0) {
            return 2;
        }
        ShmHandle big;
        if (big.acquire(full, 1638448, ShmMode::createOpen)) {
            static_cast<char*>(big.mappedAddress())[1638447] = 1;  // would be SIGBUS
            return 3;
        }
        ShmHandle owner;
        if (exists(full) || !owner.acquire(name, 8192, ShmMode::create) || ::setgid(65534) != 0 ||
            ::setuid(65534) != 0) {
            return 4;
        }
        static_cast<char*>(owner.mappedAddress())[0] = 'o';
        const int fd = ::shm_open(("/" + name).c_str(), O_RDONLY, 0);
        ShmHandle joiner;
        ShmHandle reader;
        struct stat status {};
        if (::shm_open(("/" + name).c_str(), O_RDWR, 0) >= 0 || errno != EACCES || fd < 0 ||
            ::ftruncate(fd, 0) == 0 || joiner.acquire(name, 8192, ShmMode::createOpen) ||
            ::fstat(fd, &status) != 0 || status.st_size != 8192) {
            return 5;
        }
        return reader.acquire(name, 1, ShmMode::open) &&
                       static_cast<const char*>(reader.mappedAddress())[0] == 'o'
                   ? 0
                   : 6;
    });
    const auto result = child.finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find(line("CreateFileMapping", ENOSPC, full)), std::string::npos)
        << result.err;
}

}  // namespace
