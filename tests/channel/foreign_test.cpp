// The channel among other programs' objects and other writers: what is not a channel of ours is
// never written or deleted, a dead writer's channel is reclaimed by later writers, a second live
// writer of a name is refused, and another process's locks make nobody wait.
#include <tarnmediadispatchvideoecho/channelcleanup.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <host/spdlogapplication.h>

#include "channeltestsupport.h"
#include "childprocess.h"
#include "helperprocess.h"
#include "logcapture.h"

namespace {

using channeltest::existsInDevShm;
using tarn::mediadispatch::SharedMemoryIPCServer;
using vantor::mediadispatch::ChannelReadStatus;
using vantor::mediadispatch::SharedMemoryPlayer;

// A forked child that runs `setUp`, says so and waits to be killed (when the object goes).
using Holder = std::unique_ptr<testsupport::ChildProcess>;
Holder holder(const std::function<bool()>& setUp) {
    auto child = std::make_unique<testsupport::ChildProcess>([setUp] {
        RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::off);
        if (!setUp()) {
            return 3;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) {
            ::pause();
        }
    });
    EXPECT_EQ(child->waitFor("ready"), "ready");
    return child;
}

// A writer process that has written its first frame; killed, it leaves its channel and guard.
Holder liveWriter(const std::string& name) {
    return holder([&] {
        static SharedMemoryIPCServer* kept = new SharedMemoryIPCServer(name);
        channeltest::TestFrame frame(4, 4, {16}, 1);
        kept->play(0, 0);
        kept->updateFrame(frame.get(), 0);
        return kept->acquisitionProblem().empty();
    });
}

void leaveDeadWriter(const std::string& name) {
    liveWriter(name).reset();
}

void writeOneFrame(const std::string& name, uint8_t seed) {
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    channeltest::TestFrame frame(4, 4, {16}, seed);
    writer.updateFrame(frame.get(), 0);
    writer.stop();
}

class Foreign : public testing::Test {
protected:
    testsupport::LogCapture log;
};

TEST_F(Foreign, OtherProgramsObjectsSurviveWritersReadersAndTheReclaim) {
    const std::string stem = channeltest::freshName("foreign");
    const std::string mapped = stem + "_mapped";
    const std::string fakeGuard = stem + "_fake";
    const std::string directory = stem + "_dir";
    const std::string link = stem + "_link";
    const std::string semaphore = stem + "_sem";
    const std::string blankGuard = stem + "_blank.guard";
    // A plain segment of channel size and header, and a blank file named like a guard (as a
    // writer killed before marking its guard leaves one), both unlocked but mapped by a live
    // process.
    Holder mapper = holder([&] {
        const int blank = ::shm_open(("/" + blankGuard).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        if (blank < 0 || ::ftruncate(blank, 4096) != 0 ||
            ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, blank, 0) == MAP_FAILED) {
            return false;
        }
        ::close(blank);
        const int fd = ::shm_open(("/" + mapped).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || ::ftruncate(fd, 1642496) != 0) {
            return false;
        }
        auto* bytes = static_cast<uint8_t*>(
            ::mmap(nullptr, 1642496, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (bytes == MAP_FAILED) {
            return false;
        }
        tarn::mediadispatch::ShmFrameHeader header{};
        header.linesize[0] = 16;
        header.width = 4;
        header.height = 4;
        std::memcpy(bytes, &header, sizeof header);
        std::memset(bytes + 48, 0x5a, 64);
        return true;
    });
    // A file named like a guard, with other first bytes, and the channel name beside it.
    const int fake = ::shm_open(("/" + fakeGuard + ".guard").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fake, 0);
    ASSERT_EQ(::ftruncate(fake, 4096), 0);
    ASSERT_EQ(::pwrite(fake, "NOT OURS", 8, 0), 8);
    ::close(fake);
    ASSERT_EQ(::mkdir(("/dev/shm/" + directory).c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/dev/null", ("/dev/shm/" + link).c_str()), 0);
    sem_t* sem = ::sem_open(("/" + semaphore).c_str(), O_CREAT | O_EXCL, 0644, 1);
    ASSERT_NE(sem, SEM_FAILED);
    const std::vector<std::string> names = {mapped,
                                            fakeGuard + ".guard",
                                            directory,
                                            link,
                                            "sem." + semaphore,
                                            fakeGuard,
                                            blankGuard.substr(0, blankGuard.size() - 6)};

    testing::internal::CaptureStderr();
    for (const std::string& name : names) {
        SharedMemoryPlayer player(nullptr, name);
        player.play(0, 0);
        player.getFrame(0);
        SharedMemoryIPCServer writer(name);
        writer.play(0, 0);
        channeltest::TestFrame frame(4, 4, {16}, 7);
        writer.updateFrame(frame.get(), 0);
        EXPECT_FALSE(writer.acquisitionProblem().empty()) << name << " was written";
        writer.stop();
        tarn::mediadispatch::reclaimAbandonedChannel(name);
    }
    for (const auto& abandoned : tarn::mediadispatch::findAbandonedChannels()) {
        EXPECT_EQ(abandoned.name.rfind(stem, 0), std::string::npos) << abandoned.name;
    }
    testing::internal::GetCapturedStderr();

    for (const std::string& name :
         {mapped, fakeGuard + ".guard", directory, link, "sem." + semaphore, blankGuard}) {
        EXPECT_TRUE(existsInDevShm(name) || ::access(("/dev/shm/" + name).c_str(), F_OK) == 0 ||
                    [&] {
                        struct stat s {};
                        return ::lstat(("/dev/shm/" + name).c_str(), &s) == 0;
                    }())
            << name << " was deleted";
    }
    const int fd = ::shm_open(("/" + mapped).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    uint8_t plane[64];
    ASSERT_EQ(::pread(fd, plane, sizeof plane, 48), static_cast<ssize_t>(sizeof plane));
    EXPECT_EQ(plane[0], 0x5a) << "nothing was written into it";
    ::close(fd);

    mapper.reset();
    ::sem_close(sem);
    ::sem_unlink(("/" + semaphore).c_str());
    ::shm_unlink(("/" + mapped).c_str());
    ::shm_unlink(("/" + fakeGuard + ".guard").c_str());
    ::shm_unlink(("/" + blankGuard).c_str());
    ::rmdir(("/dev/shm/" + directory).c_str());
    ::unlink(("/dev/shm/" + link).c_str());
    for (const std::string& name : names) {
        EXPECT_FALSE(existsInDevShm(name + ".guard")) << "a guard left behind for " << name;
    }
}

TEST_F(Foreign, AHundredKilledWritersAreReclaimedByLaterAcquisitions) {
    const std::string stem = channeltest::freshName("dead");
    std::vector<std::string> dead;
    std::vector<Holder> writers;
    for (int i = 0; i < 100; ++i) {
        dead.push_back(stem + "_" + std::to_string(i));
        writers.push_back(liveWriter(dead.back()));
    }
    writers.clear();  // SIGKILL, all of them
    // And a writer killed between creating its guard and marking it: a blank guard nobody holds.
    dead.push_back(stem + "_blank");
    const int blank =
        ::shm_open(("/" + dead.back() + ".guard").c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(blank, 0);
    ASSERT_EQ(::ftruncate(blank, 4096), 0);
    ::close(blank);
    // (Writers of other tests running at the same time may already reclaim some of them.)
    const std::string live = stem + "_live";
    int acquisitions = 0;
    auto anyLeft = [&] {
        for (const std::string& name : dead) {
            if (existsInDevShm(name) || existsInDevShm(name + ".guard")) {
                return true;
            }
        }
        return false;
    };
    while (anyLeft() && acquisitions < 200) {
        writeOneFrame(live, 1);
        ++acquisitions;
    }
    EXPECT_FALSE(anyLeft()) << "after " << acquisitions << " acquisitions";
    EXPECT_LE(acquisitions, 100) << "a few names are reclaimed per acquisition";
    EXPECT_FALSE(existsInDevShm(live));
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

TEST_F(Foreign, AnotherUsersDeadWriterIsExplainedWithItsOwnerAndRootReclaimsIt) {
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
        channeltest::TestFrame frame(4, 4, {16}, 1);
        const int dead = asUser(65534, [&] {
            SharedMemoryIPCServer writer(name);
            writer.play(0, 0);
            writer.updateFrame(frame.get(), 0);
            return writer.acquisitionProblem().empty() ? ::raise(SIGKILL) : 3;
        });
        const int other = asUser(65533, [&] {
            SharedMemoryIPCServer writer(name);
            writer.play(0, 0);
            writer.updateFrame(frame.get(), 0);
            std::printf("%s\n", writer.acquisitionProblem().c_str());
            return 0;
        });
        writeOneFrame(name, 3);  // as root: reclaims it and writes
        std::printf("dead %d other %d left %d\n", dead, other,
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
    EXPECT_NE(result.out.find("dead 137 other 0 left 0"), std::string::npos) << result.out;
}

TEST_F(Foreign, ASecondLiveWriterOfANameIsRefusedAndTheFirstKeepsItsChannel) {
    const std::string name = channeltest::freshName("twowriters");
    channeltest::HelperProcess first({"writer", name});
    ASSERT_EQ(first.ask("play"), "ok");
    ASSERT_EQ(first.ask("frame 3"), "ok");
    SharedMemoryIPCServer second(name);
    second.play(0, 0);
    channeltest::TestFrame other(4, 4, {16}, 9);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        second.updateFrame(other.get(), 0);
    }
    testing::internal::GetCapturedStderr();
    EXPECT_NE(second.acquisitionProblem().find("another live writer"), std::string::npos)
        << second.acquisitionProblem();
    EXPECT_EQ(log.startingWith("channel " + name + " is written by another live writer").size(),
              1u);
    SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    const qv::mediacore::IFrame* got = player.getFrame(0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->getWidth(), 640) << "the first writer's frame";
    ASSERT_EQ(first.ask("exit"), "ok");
    EXPECT_EQ(first.wait(), 0);
    second.updateFrame(other.get(), 0);
    EXPECT_TRUE(second.acquisitionProblem().empty()) << "free once the first let go";
    second.stop();
    EXPECT_FALSE(existsInDevShm(name));
    EXPECT_FALSE(existsInDevShm(name + ".guard"));
}

TEST_F(Foreign, AnotherProcessesExclusiveLocksMakeNeitherTheWriterNorThePlayerWait) {
    const std::string name = channeltest::freshName("exlocked");
    leaveDeadWriter(name);
    Holder locker = holder([&] {
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
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(player.getFrame(0), nullptr) << "a dead writer's frame is not served";
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    channeltest::TestFrame frame(8, 8, {32}, 4);
    writer.updateFrame(frame.get(), 0);
    const qv::mediacore::IFrame* got = player.getFrame(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(writer.acquisitionProblem().empty()) << writer.acquisitionProblem();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->getWidth(), 8);
    EXPECT_EQ(player.lastRead().status, ChannelReadStatus::newFrame);
    writer.stop();
    locker.reset();
    EXPECT_FALSE(existsInDevShm(name));
    EXPECT_FALSE(existsInDevShm(name + ".guard"));
}

}  // namespace
