// The channel among other programs' objects and other writers: what is not a channel of ours is
// never written or deleted, a dead writer's channel is reclaimed by later writers, a second live
// writer of a name is refused, and another process's locks make nobody wait.
#include <tarnmediadispatchvideoecho/channelcleanup.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "channeltestsupport.h"
#include "logcapture.h"

namespace {

using channeltest::existsInDevShm;
using channeltest::holder;
using channeltest::TestFrame;
using tarn::mediadispatch::SharedMemoryIPCServer;
using vantor::mediadispatch::SharedMemoryPlayer;

// Plays, writes one 4 x 4 frame and returns what kept it from writing ("" when it wrote).
std::string writeOneFrame(SharedMemoryIPCServer& writer, uint8_t seed = 1) {
    const TestFrame frame(4, 4, {16}, seed);
    writer.play(0, 0);
    writer.updateFrame(frame.get(), 0);
    return writer.acquisitionProblem();
}

// A writer process that has written its first frame; killed, it leaves its channel and guard.
channeltest::Holder liveWriter(const std::string& name) {
    return holder([&] { return writeOneFrame(*new SharedMemoryIPCServer(name)).empty(); });
}

bool createFile(const std::string& name, off_t size, const char* firstBytes = "") {
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    const bool made = fd >= 0 && ::ftruncate(fd, size) == 0 &&
                      ::pwrite(fd, firstBytes, std::strlen(firstBytes), 0) >= 0;
    ::close(fd);
    return made;
}

TEST(Foreign, OtherProgramsObjectsSurviveWritersReadersAndTheReclaim) {
    testsupport::LogCapture log;
    const std::string stem = channeltest::freshName("foreign");
    const std::string mapped = stem + "_mapped";
    // A segment of channel size with a plausible header and a blank file named like a guard (as
    // a writer killed before marking its guard leaves one), both unlocked but mapped by a live
    // process.
    auto mapper = holder([&] {
        tarn::mediadispatch::ShmFrameHeader header{};
        header.linesize[0] = 16;
        header.width = 4;
        header.height = 4;
        if (!createFile(stem + "_blank.guard", 4096) || !createFile(mapped, 1642496)) {
            return false;
        }
        for (const std::string& each : {stem + "_blank.guard", mapped}) {
            const int fd = ::shm_open(("/" + each).c_str(), O_RDWR, 0);
            auto* bytes = static_cast<uint8_t*>(
                ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            if (bytes == MAP_FAILED) {
                return false;
            }
            std::memcpy(bytes, &header, sizeof header);
            std::memset(bytes + 48, 0x5a, 64);
        }
        return true;
    });
    ASSERT_TRUE(createFile(stem + "_fake.guard", 4096, "NOT OURS"));
    ASSERT_EQ(::mkdir(("/dev/shm/" + stem + "_dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/dev/null", ("/dev/shm/" + stem + "_link").c_str()), 0);
    sem_t* sem = ::sem_open(("/" + stem + "_sem").c_str(), O_CREAT | O_EXCL, 0644, 1);
    ASSERT_NE(sem, SEM_FAILED);
    const std::vector<std::string> foreign = {
        mapped,         stem + "_fake.guard",   stem + "_dir",
        stem + "_link", "sem." + stem + "_sem", stem + "_blank.guard"};
    testing::internal::CaptureStderr();
    for (const std::string& name : {mapped, stem + "_fake.guard", stem + "_dir", stem + "_link",
                                    "sem." + stem + "_sem", stem + "_fake", stem + "_blank"}) {
        SharedMemoryPlayer player(nullptr, name);
        player.play(0, 0);
        player.getFrame(0);
        SharedMemoryIPCServer writer(name);
        EXPECT_FALSE(writeOneFrame(writer, 7).empty()) << name << " was written";
        writer.stop();
        tarn::mediadispatch::reclaimAbandonedChannel(name);
    }
    for (const auto& abandoned : tarn::mediadispatch::findAbandonedChannels()) {
        EXPECT_NE(abandoned.name.rfind(stem, 0), 0u) << abandoned.name;
    }
    testing::internal::GetCapturedStderr();
    for (const std::string& name : foreign) {
        EXPECT_TRUE(existsInDevShm(name)) << name << " was deleted";
    }
    const int fd = ::shm_open(("/" + mapped).c_str(), O_RDONLY, 0);
    uint8_t plane[64] = {};
    EXPECT_EQ(::pread(fd, plane, sizeof plane, 48), static_cast<ssize_t>(sizeof plane));
    EXPECT_EQ(plane[0], 0x5a) << "nothing was written into it";
    ::close(fd);
    mapper.reset();
    ::sem_close(sem);
    ::sem_unlink(("/" + stem + "_sem").c_str());
    for (const std::string& name : {mapped, stem + "_fake.guard", stem + "_blank.guard"}) {
        ::shm_unlink(("/" + name).c_str());
    }
    ::rmdir(("/dev/shm/" + stem + "_dir").c_str());
    ::unlink(("/dev/shm/" + stem + "_link").c_str());
    for (const std::string& name : foreign) {
        channeltest::expectGone(name);
    }
}

TEST(Foreign, AHundredKilledWritersAreReclaimedByLaterAcquisitions) {
    testsupport::LogCapture log;
    const std::string stem = channeltest::freshName("dead");
    std::vector<std::string> dead;
    for (int i = 0; i < 100; ++i) {
        dead.push_back(stem + "_" + std::to_string(i));
        liveWriter(dead.back()).reset();  // SIGKILL
    }
    // And a writer killed between creating its guard and marking it: a blank guard nobody holds.
    dead.push_back(stem + "_blank");
    ASSERT_TRUE(createFile(dead.back() + ".guard", 4096));
    // (Writers of other tests running at the same time may already reclaim some of them.)
    auto anyLeft = [&] {
        return std::any_of(dead.begin(), dead.end(), [](const std::string& name) {
            return existsInDevShm(name) || existsInDevShm(name + ".guard");
        });
    };
    int acquisitions = 0;
    for (; anyLeft() && acquisitions < 200; ++acquisitions) {
        SharedMemoryIPCServer writer(stem + "_live");
        writeOneFrame(writer);
    }
    EXPECT_FALSE(anyLeft()) << "after " << acquisitions << " acquisitions";
    EXPECT_LE(acquisitions, 100) << "a few names are reclaimed per acquisition";
    channeltest::expectGone(stem + "_live");
}

// Runs `body` in a forked process as `uid` and returns how it ended (128 + signal when killed).
int asUser(uid_t uid, const std::function<int()>& body) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int code = ::setgid(65534) == 0 && ::setuid(uid) == 0 ? body() : 2;
        std::fflush(stdout);
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(Foreign, AnotherUsersDeadWriterIsExplainedWithItsOwnerAndRootReclaimsIt) {
    const std::string name = channeltest::freshName("otheruser");
    // In a /dev/shm of its own, so that the writers of other tests (as root) cannot reclaim the
    // dead channel first; it goes away with the child's mount namespace.
    testsupport::ChildProcess child([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tarn_chtest", "/dev/shm", "tmpfs", 0, "mode=1777,size=16m") != 0) {
            return 2;
        }
        RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::off);
        const int dead = asUser(65534, [&] {
            SharedMemoryIPCServer writer(name);
            return writeOneFrame(writer).empty() ? ::raise(SIGKILL) : 3;
        });
        const int other = asUser(65533, [&] {
            SharedMemoryIPCServer writer(name);
            std::printf("%s\n", writeOneFrame(writer).c_str());
            return 0;
        });
        SharedMemoryIPCServer root(name);
        const bool written = writeOneFrame(root).empty();
        root.stop();
        std::printf("dead %d other %d written %d left %d\n", dead, other, written ? 1 : 0,
                    existsInDevShm(name) || existsInDevShm(name + ".guard") ? 1 : 0);
        return 0;
    });
    const auto result = child.finish();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("channel " + name + ": /dev/shm/" + name +
                              ".guard was left by a writer (pid "),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("of uid 65534; this user cannot remove it: run 'videoecho clean "
                              "--remove' as uid 65534 or root"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("dead 137 other 0 written 1 left 0"), std::string::npos)
        << result.out;
}

TEST(Foreign, ASecondLiveWriterIsRefusedAndAnotherProcesssExclusiveLocksMakeNobodyWait) {
    const std::string name = channeltest::freshName("twowriters");
    testsupport::LogCapture log;
    auto first = liveWriter(name);
    SharedMemoryIPCServer second(name);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(writeOneFrame(second, 9).find("another live writer"), std::string::npos);
    }
    EXPECT_EQ(log.startingWith("channel " + name + " is written by another live writer").size(),
              1u);
    {
        SharedMemoryPlayer player(nullptr, name);
        player.play(0, 0);
        EXPECT_TRUE(TestFrame(4, 4, {16}, 1).sameAs(player.getFrame(0))) << "the first's frame";
    }
    first.reset();  // SIGKILL: a dead writer's channel, now locked exclusively by somebody else
    auto locker = holder([&] {
        for (const std::string& each : {name, name + ".guard"}) {
            const int fd = ::shm_open(("/" + each).c_str(), O_RDONLY, 0);
            if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                return false;
            }
        }
        return true;
    });
    SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(player.getFrame(0), nullptr) << "a dead writer's frame is not served";
    EXPECT_EQ(writeOneFrame(second, 4), "") << "free once the first let go";
    EXPECT_TRUE(TestFrame(4, 4, {16}, 4).sameAs(player.getFrame(0)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    testing::internal::GetCapturedStderr();
    second.stop();
    locker.reset();
    channeltest::expectGone(name);
}

}  // namespace
