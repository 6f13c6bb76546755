// `videoecho play` as a user runs it, against a stream served by the test.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "testrtspserver.h"
#include "toolrun.h"

extern "C" const char* __lsan_default_suppressions();

namespace streamplayertest {
namespace {

// videoecho starts GStreamer too; under LeakSanitizer it gets this process's suppressions of
// GStreamer's process-long allocations through a file that lives as long as the object.
class ChildLeakSuppressions {
public:
    ChildLeakSuppressions()
        : path_("/tmp/streamplayer-lsan-" + std::to_string(::getpid()) + ".supp") {
        std::ofstream(path_) << __lsan_default_suppressions();
        const char* old = std::getenv("LSAN_OPTIONS");
        if (old != nullptr) {
            previous_ = old;
        }
        const std::string options =
            (previous_.empty() ? "" : previous_ + ":") + "suppressions=" + path_;
        ::setenv("LSAN_OPTIONS", options.c_str(), 1);
    }
    ~ChildLeakSuppressions() {
        if (previous_.empty()) {
            ::unsetenv("LSAN_OPTIONS");
        } else {
            ::setenv("LSAN_OPTIONS", previous_.c_str(), 1);
        }
        std::remove(path_.c_str());
    }

private:
    std::string path_;
    std::string previous_;
};

TEST(PlayCommand, ReportsPicturesAndWritesTheLastOne) {
    ChildLeakSuppressions suppressions;
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
    ChildLeakSuppressions suppressions;
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
