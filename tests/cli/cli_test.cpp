// The videoecho program as a user meets it: argument errors, missing channels, and a sender with
// probe, snapshot and watch running against it in other processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <regex>
#include <vector>

#include "toolrun.h"

using clitest::BackgroundTool;
using clitest::eventually;
using clitest::lineCount;
using clitest::runTool;
using clitest::ToolResult;
using clitest::uniqueKey;

namespace {

uint32_t bigEndian32(const std::vector<unsigned char>& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) |
           uint32_t{b[at + 3]};
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

bool probeSucceeds(const std::string& key) {
    return runTool({"probe", key}, 5000).exitCode == 0;
}

}  // namespace

TEST(CliArguments, BadArgumentsAreOneLineErrorsWithExitCodeTwo) {
    const struct {
        std::vector<std::string> args;
        const char* fragment;
    } cases[] = {
        {{}, "missing command"},
        {{"transmogrify"}, "unknown command 'transmogrify'"},
        {{"send"}, "missing KEY"},
        {{"snapshot", "somekey"}, "missing FILE.png"},
        {{"probe", "k", "--colour"}, "unknown option '--colour'"},
        {{"send", "k", "--size", "640"}, "WIDTHxHEIGHT"},
        {{"send", "k", "--size", "64x3x"}, "--size height"},
        {{"send", "k", "--fps", "fast"}, "--fps"},
        {{"send", "k", "--fps"}, "--fps: 1 required N missing"},
        {{"watch", "k", "--seconds", "-1"}, "--seconds"},
        {{"send", "k", "--size", "1920x1080"}, "a channel holds at most"},
        {{"send", "k", "--size", "641x360", "--format", "nv12"}, "even"},
        {{"send", "k", "--format", "rgb565"}, "--format"},
        {{"send", "k", "--frames", "3", "--seconds", "1"}, "not both"},
        {{"probe", "a/b"}, "may not contain '/'"},
    };
    for (const auto& c : cases) {
        const ToolResult r = runTool(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.fragment;
        EXPECT_EQ(lineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST(CliArguments, EverySubcommandHasHelp) {
    for (const char* command : {"send", "probe", "snapshot", "watch", "demo", "bench"}) {
        const ToolResult r = runTool({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: videoecho ") + command, 0), 0u) << r.out;
        EXPECT_TRUE(r.err.empty()) << r.err;
    }
    EXPECT_EQ(runTool({"--help"}).exitCode, 0);
}

TEST(CliMissingChannel, ReadingToolsSayThereIsNoChannelAndWriteNothing) {
    const std::string key = uniqueKey("absent");
    const std::string png = "/tmp/" + key + ".png";
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"probe", key},
                                               {"snapshot", key, png, "--wait", "0.2"},
                                               {"watch", key, "--seconds", "0.3"}}) {
        const ToolResult r = runTool(args);
        EXPECT_EQ(r.exitCode, 1) << args[0];
        EXPECT_EQ(r.err, "videoecho " + args[0] + ": no channel named " + key + "\n");
    }
    EXPECT_NE(access(png.c_str(), F_OK), 0);
}

TEST(CliWithSender, ProbeDescribesTheHeaderInWords) {
    const std::string key = uniqueKey("probe");
    BackgroundTool sender({"send", key, "--size", "320x180", "--format", "yuv420p", "--fps", "50",
                           "--seconds", "20"});
    ASSERT_TRUE(eventually([&] { return probeSucceeds(key); }, 5000)) << sender.out();
    const ToolResult r = runTool({"probe", key});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("320 x 180"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("yuv420p"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line sizes    320 160 160 0 0 0 0 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bytes/frame   115248"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("fps           50"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("guard         [1-9][0-9]* frames committed")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("writer        pid [1-9][0-9]* \\(started at "
                                                    "tick [1-9][0-9]*\\), live")))
        << r.out;
    EXPECT_NE(r.out.find("last commit"), std::string::npos) << r.out;
}

TEST(CliWithSender, SnapshotWritesAPngOfTheFrameSize) {
    for (const char* format : {"rgba", "nv12"}) {
        const std::string key = uniqueKey(std::string("snapshot-") + format);
        const std::string png = "/tmp/" + key + ".png";
        unlink(png.c_str());
        BackgroundTool sender(
            {"send", key, "--size", "320x176", "--format", format, "--seconds", "20"});
        ASSERT_TRUE(eventually([&] { return probeSucceeds(key); }, 5000)) << sender.out();
        const ToolResult r = runTool({"snapshot", key, png});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("intact"), std::string::npos) << r.out;
        const auto bytes = readFile(png);
        ASSERT_GE(bytes.size(), 33u);
        const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
        EXPECT_TRUE(std::equal(signature, signature + 8, bytes.begin()));
        EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "IHDR");
        EXPECT_EQ(bigEndian32(bytes, 16), 320u) << format;
        EXPECT_EQ(bigEndian32(bytes, 20), 176u) << format;
        EXPECT_EQ(bytes[24], 8) << "bit depth";
        EXPECT_EQ(bytes[25], 2) << "RGB colour type";
        unlink(png.c_str());
    }
}

TEST(CliWithSender, SenderStopsCleanlyOnInterruptAndTheChannelGoes) {
    const std::string key = uniqueKey("interrupt");
    BackgroundTool sender({"send", key, "--seconds", "20"});
    ASSERT_TRUE(eventually([&] { return probeSucceeds(key); }, 5000)) << sender.out();
    sender.signal(SIGINT);
    EXPECT_EQ(sender.wait(5000), 0);
    EXPECT_NE(sender.out().find("(interrupted)"), std::string::npos) << sender.out();
    EXPECT_EQ(runTool({"probe", key}).exitCode, 1);
}

TEST(CliWithSender, WatchSeesTheChannelGoWhenTheSenderIsKilledAndComeBack) {
    const std::string key = uniqueKey("watch");
    auto first = std::make_unique<BackgroundTool>(
        std::vector<std::string>{"send", key, "--fps", "30", "--seconds", "20"});
    ASSERT_TRUE(eventually([&] { return probeSucceeds(key); }, 5000)) << first->out();
    BackgroundTool watch({"watch", key, "--seconds", "4"});
    clitest::sleepMs(1200);
    first->signal(SIGKILL);
    EXPECT_EQ(first->wait(5000), 128 + SIGKILL);
    clitest::sleepMs(800);
    BackgroundTool second({"send", key, "--fps", "30", "--seconds", "20"});
    EXPECT_EQ(watch.wait(10000), 0) << watch.out();
    const std::string out = watch.out();
    const auto gone = out.find("channel " + key + " gone");
    const auto back = out.find("channel " + key + " is back");
    EXPECT_NE(gone, std::string::npos) << out;
    EXPECT_NE(back, std::string::npos) << out;
    EXPECT_LT(gone, back) << out;
    EXPECT_NE(out.find("new sender on channel " + key), std::string::npos) << out;
    EXPECT_NE(out.find("backwards 0"), std::string::npos) << out;
    EXPECT_NE(out.find("total: "), std::string::npos) << out;
}

TEST(CliDemo, EchoesThePatternBetweenTwoProcessesAndWritesThePicture) {
    const std::string png = "/tmp/" + uniqueKey("demo") + ".png";
    unlink(png.c_str());
    const ToolResult r = runTool({"demo", "--seconds", "2", "--png", png}, 60000);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("result: OK, frames arrived intact"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("went backwards         0"), std::string::npos) << r.out;
    const auto bytes = readFile(png);
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "PNG");
    EXPECT_EQ(bigEndian32(bytes, 16), 640u);
    EXPECT_EQ(bigEndian32(bytes, 20), 360u);
    unlink(png.c_str());
}

TEST(CliDemo, MachinesAgreeOnEchoAddressesAndStrategies) {
    const std::string png = "/tmp/" + uniqueKey("machines") + ".png";
    const ToolResult r = runTool({"demo", "--seconds", "1", "--machines", "--png", png}, 90000);
    unlink(png.c_str());
    unlink((png.substr(0, png.size() - 4) + "-machines.png").c_str());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("machines agree: every machine holds the same 3 echo addresses"),
              std::string::npos)
        << r.out;
    // Each machine serves its card on a port of its own: rtsp://HOST:PORT/echo/NODE/CARD.
    for (
        const char* row :
        {R"(node-1 +received +main-card-1 +rtsp://[^ /]+:[1-9][0-9]*/echo/main/main-card-1 )",
         R"(node-2 +received +node-1-card-1 +rtsp://[^ /]+:[1-9][0-9]*/echo/node-1/node-1-card-1 )",
         R"(main +servers +node-2-card-1 +rtsp://[^ /]+:[1-9][0-9]*/echo/node-2/node-2-card-1 )"}) {
        EXPECT_TRUE(std::regex_search(r.out, std::regex(row))) << row << "\n" << r.out;
    }
    if (geteuid() == 0) {
        // As root the machines run in namespaces of their own, joined by a virtual link.
        EXPECT_NE(r.out.find("main machine listening on 198.18."), std::string::npos) << r.out;
    }
    // The same records crossed the link, and the others noticed the frozen node.
    EXPECT_NE(r.out.find("42AddEchoAddr:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("node-2 frozen (SIGSTOP"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("did not notice"), std::string::npos) << r.out;
}

TEST(CliWithSender, NoSegmentIsLeftBehindOnceTheSenderIsInterrupted) {
    const std::string key = uniqueKey("leftover");
    {
        BackgroundTool sender({"send", key, "--seconds", "20"});
        ASSERT_TRUE(eventually([&] { return probeSucceeds(key); }, 5000)) << sender.out();
    }
    EXPECT_NE(access(("/dev/shm/" + key).c_str(), F_OK), 0);
}
