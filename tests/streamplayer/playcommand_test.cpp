// `videoecho play` as a user runs it, against a stream served by the test.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "testrtspserver.h"
#include "toolrun.h"

namespace streamplayertest {
namespace {

TEST(PlayCommand, ReportsPicturesAndWritesTheLastOne) {
    TestRtspServer server(320, 240);
    const std::string png = "/tmp/streamplayer-play-" + std::to_string(::getpid()) + ".png";
    const auto result =
        clitest::runTool({"play", server.url(), "--seconds", "3", "--snapshot", png}, 30000);
    std::printf("%s", result.out.c_str());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("url: " + server.url()), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("320x240 yuv420p"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(" per second)"), std::string::npos) << result.out;
    std::ifstream file(png, std::ios::binary);
    char signature[4] = {};
    file.read(signature, 4);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG");
    std::remove(png.c_str());
}

TEST(PlayCommand, FailsWhenNoPictureComes) {
    const struct {
        std::string url;
        std::string error;
    } cases[] = {
        {"rtsp://127.0.0.1:" + std::to_string(closedPort()) + "/test", "no picture from rtsp://"},
        {"http://127.0.0.1/test", "cannot play http://127.0.0.1/test"},
    };
    for (const auto& c : cases) {
        const auto result = clitest::runTool({"play", c.url, "--seconds", "1"}, 20000);
        EXPECT_EQ(result.exitCode, 1) << c.url;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace streamplayertest
