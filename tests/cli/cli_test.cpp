// The videoecho program as a user meets it: argument errors, missing channels, a sender with
// probe, snapshot and watch running against it in other processes, what the tools meet in
// /dev/shm.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include "childprocess.h"

namespace {

using ToolResult = testsupport::ChildProcess::Result;

// Runs `videoecho args...` and waits up to `timeoutMs` (then kills it).
ToolResult runTool(const std::vector<std::string>& args, int timeoutMs = 20000) {
    return testsupport::runProgram(VIDEOECHO_PROGRAM, args, std::chrono::milliseconds(timeoutMs));
}

// A videoecho process in the background; it is interrupted as a user would (SIGINT) when the
// object goes, so that it cleans up, and killed only if it does not end within 5 s.
class BackgroundTool : public testsupport::ChildProcess {
public:
    explicit BackgroundTool(const std::vector<std::string>& args)
        : ChildProcess(VIDEOECHO_PROGRAM, args) {}
    ~BackgroundTool() {
        signal(SIGINT);
        ChildProcess::wait(std::chrono::seconds(5));
    }
    std::string out() {  // its standard output so far
        std::string text;
        for (const std::string& line : linesStartingWith("")) {
            text += line + "\n";
        }
        return text;
    }
};

// A channel name unique to this test process.
std::string uniqueKey(const std::string& what) {
    return "videoecho-cli-" + std::to_string(::getpid()) + "-" + what;
}

constexpr off_t kChannelBytes = 1642496;

// A plain segment of `size` bytes holding `header`, open in this process; `held`: locked as a
// channel in use is.
int rawSegment(const std::string& name, off_t size,
               const tarn::mediadispatch::ShmFrameHeader& header, bool held = false) {
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    EXPECT_TRUE(fd >= 0 && ::ftruncate(fd, size) == 0 && (!held || ::flock(fd, LOCK_SH) == 0) &&
                ::pwrite(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header))
        << name;
    return fd;
}

// Every refusal is one line with its exit code: argument errors, missing channels, headers the
// tools cannot show, and objects of other programs in /dev/shm that a sender may not take over.
// Those are of a channel's or a guard's name and size, unlocked but mapped by a live process (this
// one): one with a plausible header, one blank (as a writer killed before marking its guard leaves
// it), one with other first bytes; and a directory, a symlink and a semaphore. No tool, not even
// `clean --remove`, deletes them.
TEST(Cli, RefusalsAreOneLineWithTheirExitCodesAndOtherProgramsObjectsAreLeftAlone) {
    const std::string stem = uniqueKey("foreign");
    std::vector<std::pair<int, void*>> mapped;
    for (const auto& [suffix, size] : {std::pair<std::string, off_t>{"_mapped", kChannelBytes},
                                       {"_small", 4096},
                                       {"_blank.guard", 4096},
                                       {"_fake.guard", 4096}}) {
        const tarn::mediadispatch::ShmFrameHeader header{{16}, 4, 4, 0, 0};
        const int fd =
            rawSegment(stem + suffix, size, suffix == "_mapped" ? header : decltype(header){});
        mapped.emplace_back(fd, ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    }
    ASSERT_EQ(::pwrite(mapped.back().first, "NOT OURS", 8, 0), 8);
    ASSERT_EQ(::mkdir(("/dev/shm/" + stem + "_dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/dev/null", ("/dev/shm/" + stem + "_link").c_str()), 0);
    sem_t* sem = ::sem_open(("/" + stem + "_sem").c_str(), O_CREAT | O_EXCL, 0644, 1);
    ASSERT_NE(sem, SEM_FAILED);
    const std::string invalid = uniqueKey("invalid");
    const std::string pal8 = uniqueKey("pal8");
    const int invalidFd = rawSegment(invalid, kChannelBytes, {{1000000}, 64, 100, 0, 0}, true);
    const int pal8Fd = rawSegment(pal8, kChannelBytes, {{64}, 64, 64, AV_PIX_FMT_PAL8, 0}, true);

    const std::string key = uniqueKey("absent");
    const std::string png = "/tmp/" + key + ".png";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string text;  // in the one line of stderr, or what stdout starts with on exit 0
    };
    std::vector<Case> cases = {
        {{}, 2, "missing command"},
        {{"transmogrify"}, 2, "unknown command 'transmogrify'"},
        {{"send"}, 2, "missing KEY"},
        {{"probe", "k", "--colour"}, 2, "unknown option '--colour'"},
        {{"send", "k", "--size", "640"}, 2, "WIDTHxHEIGHT"},
        {{"watch", "k", "--seconds", "-1"}, 2, "--seconds"},
        {{"send", "k", "--size", "1920x1080"}, 2, "a channel holds at most"},
        {{"send", "k", "--size", "641x360", "--format", "nv12"}, 2, "even"},
        {{"send", "k", "--frames", "3", "--seconds", "1"}, 2, "not both"},
        {{"probe", "a/b"}, 2, "may not contain '/'"},
        {{"probe", "bad\nname\x01"}, 2, "bad\\x0aname\\x01"},
        {{"probe", key}, 1, "videoecho probe: no channel named " + key + "\n"},
        {{"snapshot", key, png, "--wait", "0.2"}, 1, "videoecho snapshot: no channel named " + key},
        {{"watch", key, "--seconds", "0.3"}, 1, "videoecho watch: no channel named " + key},
        {{"watch", invalid, "--seconds", "0.3"}, 1, "channel " + invalid + " holds no valid frame"},
        {{"snapshot", invalid, "/tmp/" + invalid + ".png", "--wait", "0.1"},
         1,
         "channel " + invalid + " holds no valid frame"},
        {{"snapshot", pal8, "/tmp/" + pal8 + ".png"}, 1, "paletted"},
        {{"--help"}, 0, "usage: videoecho"},
        {{"probe", "--help"}, 0, "usage: videoecho probe"},
    };
    const std::vector<std::string> foreign = {
        stem + "_mapped", stem + "_small", stem + "_blank",       stem + "_fake",
        stem + "_dir",    stem + "_link",  "sem." + stem + "_sem"};
    for (const std::string& name : foreign) {
        cases.push_back({{"send", name, "--frames", "60", "--fps", "200"},
                         1,
                         "videoecho send: cannot write: channel " + name});
    }
    for (const auto& c : cases) {
        const ToolResult r = runTool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.text;
        const std::string& said = c.exitCode == 0 ? r.out : r.err;
        const auto at = said.find(c.text);
        EXPECT_TRUE(c.exitCode == 0 ? at == 0 : at != std::string::npos) << said;
        EXPECT_TRUE(c.exitCode == 0 ? r.err.empty()
                                    : std::count(r.err.begin(), r.err.end(), '\n') == 1 &&
                                          (c.exitCode == 1 || r.out.empty()))
            << r.out << r.err;
    }
    EXPECT_NE(::access(("/tmp/" + pal8 + ".png").c_str(), F_OK), 0);
    for (const std::string& name : foreign) {
        runTool({"probe", name});
        runTool({"snapshot", name, "/tmp/" + name + ".png", "--wait", "0.1"});
        runTool({"watch", name, "--seconds", "0.2"});
    }
    runTool({"clean", "--remove", "--prefix", stem});
    for (const std::string& name :
         {stem + "_mapped", stem + "_small", stem + "_blank.guard", stem + "_fake.guard",
          stem + "_dir", stem + "_link", "sem." + stem + "_sem", invalid, pal8}) {
        EXPECT_TRUE(std::filesystem::remove("/dev/shm/" + name)) << name << " was deleted";
    }
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + stem + "_mapped.guard") ||
                 std::filesystem::exists("/dev/shm/" + stem + "_small.guard"));
    for (const auto& [fd, view] : mapped) {
        ::munmap(view, 4096);
        ::close(fd);
    }
    ::close(invalidFd);
    ::close(pal8Fd);
    ::sem_close(sem);
}

TEST(Cli, ProbeSnapshotAndWatchFollowASenderThatIsKilledReplacedAndInterrupted) {
    const std::string key = uniqueKey("sender");
    const std::string png = "/tmp/" + key + ".png";
    auto first = std::make_unique<BackgroundTool>(std::vector<std::string>{
        "send", key, "--size", "320x180", "--format", "yuv420p", "--fps", "50", "--seconds", "20"});
    ToolResult probe;
    for (int tries = 0; tries < 250 && (probe = runTool({"probe", key})).exitCode != 0; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(probe.exitCode, 0) << first->out();
    for (const char* row :
         {"320 x 180", "yuv420p", "line sizes    320 160 160 0 0 0 0 0", "bytes/frame   115248",
          "fps           50", "guard         [1-9][0-9]* frames committed",
          "writer        pid [1-9][0-9]* \\(started at tick [1-9][0-9]*\\), live", "last commit"}) {
        EXPECT_TRUE(std::regex_search(probe.out, std::regex(row))) << row << "\n" << probe.out;
    }
    const ToolResult snapshot = runTool({"snapshot", key, png});
    EXPECT_EQ(snapshot.exitCode, 0) << snapshot.err;
    EXPECT_NE(snapshot.out.find("intact"), std::string::npos) << snapshot.out;
    EXPECT_EQ(testsupport::runProgram(
                  "ffprobe", {"-v", "error", "-show_entries", "stream=codec_name,width,height",
                              "-of", "csv=p=0", png})
                  .out,
              "png,320,180\n");
    ::unlink(png.c_str());
    const ToolResult second = runTool({"send", key, "--frames", "1"});
    EXPECT_TRUE(second.exitCode == 1 && second.err.find("another live writer") != std::string::npos)
        << second.err;

    // The watcher sees the first sender's frames, then its end, then the next sender: each step
    // waits for the watcher's own line, so that a slow start (a sanitizer build) changes nothing.
    BackgroundTool watch({"watch", key, "--seconds", "8"});
    for (auto line = watch.readLine(std::chrono::seconds(10)); line;
         line = watch.readLine(std::chrono::seconds(10))) {
        if (std::regex_search(*line, std::regex(" new +[1-9]"))) {
            break;
        }
    }
    first->signal(SIGKILL);
    EXPECT_EQ(first->wait(std::chrono::seconds(5)), 128 + SIGKILL);
    EXPECT_FALSE(watch.waitFor("channel " + key + " gone").empty()) << watch.out();
    BackgroundTool next({"send", key, "--fps", "30", "--seconds", "20"});
    EXPECT_EQ(watch.wait(std::chrono::seconds(15)), 0) << watch.out();
    const std::string out = watch.out();
    EXPECT_TRUE(std::regex_search(out, std::regex(key + " gone[\\s\\S]*" + key + " is back")))
        << out;
    for (const std::string& line :
         {"new sender on channel " + key, std::string("backwards 0"), std::string("total: ")}) {
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    next.signal(SIGINT);
    EXPECT_EQ(next.wait(std::chrono::seconds(5)), 0);
    EXPECT_NE(next.out().find("(interrupted)"), std::string::npos) << next.out();
    EXPECT_EQ(runTool({"probe", key}).exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + key) ||
                 std::filesystem::exists("/dev/shm/" + key + ".guard"));
}

}  // namespace

// The main job: a source and a viewer process echo the pattern, and the viewer checks each frame.
TEST(Cli, DemoEchoesThePatternIntactBetweenTwoProcesses) {
    const std::string png = "/tmp/videoecho-demo-" + std::to_string(getpid()) + ".png";
    const ToolResult r = runTool({"demo", "--seconds", "2", "--png", png}, 60000);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("result: OK, frames arrived intact"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("torn                   0"), std::string::npos) << r.out;
    EXPECT_EQ(::unlink(png.c_str()), 0);
}
