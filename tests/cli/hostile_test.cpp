// The tools against what they may meet in /dev/shm: names they cannot write, other programs'
// objects, headers that describe no valid or no convertible frame, names with control characters.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "toolrun.h"

using clitest::BackgroundTool;
using clitest::eventually;
using clitest::lineCount;
using clitest::runTool;
using clitest::ToolResult;
using clitest::uniqueKey;

namespace {

bool existsInDevShm(const std::string& name) {
    struct stat status {};
    return ::lstat(("/dev/shm/" + name).c_str(), &status) == 0;
}

// A plain segment of channel size holding `header`, kept open (and so held) by this process.
class RawChannel {
public:
    RawChannel(const std::string& name, const tarn::mediadispatch::ShmFrameHeader& header)
        : name_(name) {
        fd_ = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        if (fd_ < 0 || ::ftruncate(fd_, 1642496) != 0 || ::flock(fd_, LOCK_SH) != 0 ||
            ::pwrite(fd_, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
            ADD_FAILURE() << "cannot make " << name;
        }
    }
    ~RawChannel() {
        ::close(fd_);
        ::shm_unlink(("/" + name_).c_str());
    }

private:
    std::string name_;
    int fd_ = -1;
};

TEST(CliHostile, SendExitsOneWithOneLineWhenItCannotWriteItsChannel) {
    const std::string held = uniqueKey("held");
    BackgroundTool first({"send", held, "--seconds", "20"});
    ASSERT_TRUE(eventually([&] { return runTool({"probe", held}, 5000).exitCode == 0; }, 5000));
    const std::string small = uniqueKey("small");
    const int fd = ::shm_open(("/" + small).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4096), 0);
    const std::string directory = uniqueKey("dir");
    ASSERT_EQ(::mkdir(("/dev/shm/" + directory).c_str(), 0755), 0);
    const std::string link = uniqueKey("link");
    ASSERT_EQ(::symlink("/dev/null", ("/dev/shm/" + link).c_str()), 0);

    for (const std::string& key : {held, small, directory, link}) {
        const ToolResult r = runTool({"send", key, "--frames", "60", "--fps", "200"});
        EXPECT_EQ(r.exitCode, 1) << key << ": " << r.out << r.err;
        EXPECT_EQ(lineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find("videoecho send: cannot write: channel " + key), std::string::npos)
            << r.err;
        EXPECT_TRUE(key == held || !existsInDevShm(key + ".guard")) << key;
    }
    EXPECT_NE(runTool({"send", held, "--frames", "1"}).err.find("another live writer"),
              std::string::npos);
    first.signal(SIGINT);
    EXPECT_EQ(first.wait(5000), 0);
    ::close(fd);
    ::shm_unlink(("/" + small).c_str());
    ::rmdir(("/dev/shm/" + directory).c_str());
    ::unlink(("/dev/shm/" + link).c_str());
}

TEST(CliHostile, ReadOnlyToolsAndCleanLeaveOtherProgramsObjectsAlone) {
    const std::string mapped = uniqueKey("mapped");
    const int fd = ::shm_open(("/" + mapped).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 1642496), 0);
    void* view = ::mmap(nullptr, 1642496, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(view, MAP_FAILED);  // mapped by a live process, but not locked
    const std::string directory = uniqueKey("rodir");
    ASSERT_EQ(::mkdir(("/dev/shm/" + directory).c_str(), 0755), 0);
    const std::string link = uniqueKey("rolink");
    ASSERT_EQ(::symlink("/dev/null", ("/dev/shm/" + link).c_str()), 0);
    const std::string sem = "sem." + uniqueKey("rosem");
    const int semFd = ::open(("/dev/shm/" + sem).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(semFd, 0);
    ::close(semFd);

    for (const std::string& key : {mapped, directory, link, sem}) {
        runTool({"probe", key});
        runTool({"snapshot", key, "/tmp/" + uniqueKey("ro") + ".png", "--wait", "0.1"});
        runTool({"watch", key, "--seconds", "0.2"});
    }
    runTool({"clean", "--remove"});
    for (const std::string& key : {mapped, directory, link, sem}) {
        EXPECT_TRUE(existsInDevShm(key)) << key << " was deleted";
    }
    ::munmap(view, 1642496);
    ::close(fd);
    ::shm_unlink(("/" + mapped).c_str());
    ::rmdir(("/dev/shm/" + directory).c_str());
    ::unlink(("/dev/shm/" + link).c_str());
    ::unlink(("/dev/shm/" + sem).c_str());
}

TEST(CliHostile, HeadersWithoutAValidOrConvertibleFrameAreNamedAsSuch) {
    tarn::mediadispatch::ShmFrameHeader tooLarge{};
    tooLarge.linesize[0] = 1000000;
    tooLarge.width = 64;
    tooLarge.height = 100;
    const std::string invalid = uniqueKey("invalid");
    RawChannel invalidChannel(invalid, tooLarge);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"watch", invalid, "--seconds", "0.3"},
          std::vector<std::string>{"snapshot", invalid, "/tmp/" + invalid + ".png", "--wait",
                                   "0.1"}}) {
        const ToolResult r = runTool(args);
        EXPECT_EQ(r.exitCode, 1) << args[0];
        EXPECT_NE(r.err.find("channel " + invalid + " holds no valid frame"), std::string::npos)
            << r.err;
    }

    tarn::mediadispatch::ShmFrameHeader paletted{};
    paletted.linesize[0] = 64;
    paletted.width = 64;
    paletted.height = 64;
    paletted.format = AV_PIX_FMT_PAL8;
    const std::string pal8 = uniqueKey("pal8");
    RawChannel palettedChannel(pal8, paletted);
    const std::string png = "/tmp/" + pal8 + ".png";
    const ToolResult r = runTool({"snapshot", pal8, png});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("paletted"), std::string::npos) << r.err;
    EXPECT_NE(::access(png.c_str(), F_OK), 0);
}

TEST(CliHostile, ControlCharactersInANameAreEscapedAndTheErrorStaysOneLine) {
    const ToolResult r = runTool({"probe", "bad\nname\x01"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(lineCount(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("bad\\x0aname\\x01"), std::string::npos) << r.err;
}

}  // namespace
