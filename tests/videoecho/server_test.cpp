// The echo server's own rules: URLs, cards that are not served, configuration refusals, what
// ffprobe sees over each transport, the shared server's reference count, a port already taken.
#include <algorithm>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "childprocess.h"
#include "logcapture.h"
#include "loopbacksocket.h"
#include "servedcard.h"

namespace videoechotest {
namespace {

using tarn::mediadispatch::VideoEchoAddr;

// ffprobe's view of the first video stream: "codec_name=h264|width=..." or its error.
testsupport::ChildProcess::Result probe(const std::string& url, const char* transport = "tcp") {
    return testsupport::runProgram(
        "ffprobe",
        {"-v", "error", "-rtsp_transport", transport, "-select_streams", "v:0", "-show_entries",
         "stream=codec_name,width,height,r_frame_rate", "-of", "compact=p=0", url});
}

TEST_F(ServedCard, UrlsNameTheCardAndItsNodeAndCardsThatAreNotOursServeNothing) {
    VideoEcho card({{"node a", 1, "GPU/0", ""}, ""}, "video1", nullptr, handle_, true);
    const std::string url = card.getUrl();
    EXPECT_TRUE(std::regex_search(
        url, std::regex("^rtsp://127\\.0\\.0\\.1:[1-9][0-9]*/echo/node%20a/GPU%2F0$")))
        << url;
    EXPECT_EQ(card.generateRtspAddr("node a"), url);
    EXPECT_NE(card.generateRtspAddr("node b"), url);
    EXPECT_TRUE(card.createRecordVideo());
    EXPECT_EQ(card.getAddr().url, url);

    // Cards that are not ours serve nothing: a remote one keeps its URL, a stale handle is logged.
    VideoEchoAddr remote{{"node-b", 2, "GPU-1", ""}, "rtsp://10.1.2.3:8554/echo/node-b/GPU-1"};
    VideoEcho remoteCard(remote, "", nullptr, handle_, false);
    EXPECT_EQ(remoteCard.getUrl(), remote.url);
    EXPECT_FALSE(remoteCard.createRecordVideo());

    testsupport::LogCapture log;
    VideoEcho stale({{"node-a", 3, "GPU-3", ""}, ""}, "video3", nullptr, handle_ + 100, true);
    EXPECT_EQ(log.startingWith("VideoEcho video3: server handle").size(), 1U);
    EXPECT_NE(probe(stale.getUrl()).exitCode, 0);
}

TEST_F(ServedCard, ZeroOrNegativeConfigurationIsRefusedWithOneWarning) {
    VideoEcho card({{"node-a", 1, "GPU-0", ""}, ""}, "video1", nullptr, handle_, true);
    card.setVideoEchoResolution(321, 241);
    card.setVideoEchoFPS(25);
    card.setVideoEchoBitRate(2097152);
    EXPECT_EQ(card.settings().width, 322);
    EXPECT_EQ(card.settings().height, 242);

    const std::vector<std::function<void()>> refused = {
        [&] { card.setVideoEchoResolution(640, -2); },
        [&] { card.setVideoEchoResolution(0.4f, 0.4f); },  // 0 x 0 once rounded
        [&] { card.setVideoEchoFPS(0); },
        [&] { card.setVideoEchoBitRate(-1); },
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        testsupport::LogCapture log;
        refused[i]();
        ASSERT_EQ(log.lines().size(), 1U) << "case " << i;
        EXPECT_EQ(log.lines().at(0).level, spdlog::level::warn) << "case " << i;
        const auto s = card.settings();
        EXPECT_EQ(std::vector<float>({s.width, s.height, s.fps, s.bitRate}),
                  std::vector<float>({322, 242, 25, 2097152}))
            << "case " << i;
    }
}

// ffprobe sees H.264 at the configured size and rate, over UDP only when the card allows it. Then
// five seconds of the stream are decoded by ffmpeg, frame by frame (one framemd5 line each): a
// watching client and one that joins a second later both get nearly every frame, with no error
// line from the decoder or the demuxer.
TEST_F(ServedCard, FfprobeSeesTheStreamFfmpegDecodesItForAWatcherAndAJoinerUntilTheLastStop) {
    PatternSource source(320, 240, 25);
    auto card = makeCard("GPU-0", 320, 240, 25, source);
    for (const bool tcpOnly : {true, false}) {
        card->setVideoEchoTransmissionMode(tcpOnly);
        const auto tcp = probe(card->getUrl());
        EXPECT_EQ(tcp.out, "codec_name=h264|width=320|height=240|r_frame_rate=25/1\n") << tcp.err;
        const auto udp = probe(card->getUrl(), "udp");
        EXPECT_EQ(udp.exitCode == 0, !tcpOnly) << "tcpOnly " << tcpOnly << ": " << udp.err;
    }
    const std::vector<std::string> args = {
        "-v", "error", "-rtsp_transport", "tcp", "-i", card->getUrl(), "-t",
        "5",  "-f",    "framemd5",        "-"};
    testsupport::ChildProcess watcher("ffmpeg", args);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto joiner = testsupport::runProgram("ffmpeg", args, std::chrono::seconds(30));
    const auto watched = watcher.finish(std::chrono::seconds(30));
    const std::regex frameLine("(^|\\n)0,");  // "0, dts, pts, ..." of stream 0
    for (const auto* client : {&watched, &joiner}) {
        EXPECT_EQ(client->exitCode, 0) << client->err;
        EXPECT_GE(std::distance(
                      std::sregex_iterator(client->out.begin(), client->out.end(), frameLine), {}),
                  0.9 * 5 * 25)
            << client->err;
        EXPECT_EQ(client->err, "");
    }
    // A second start shares the server: the stream stays until the last stop.
    EXPECT_EQ(VideoEcho::startVideoEchoServer(), handle_);
    EXPECT_TRUE(VideoEcho::stopVideoEchoServer());
    EXPECT_EQ(probe(card->getUrl()).exitCode, 0) << "the other start's stream went away";
    EXPECT_TRUE(VideoEcho::stopVideoEchoServer());
    handle_ = 0;
    EXPECT_NE(probe(card->getUrl()).exitCode, 0);
    EXPECT_FALSE(VideoEcho::stopVideoEchoServer());
}

// A DESCRIBE as the last TEARDOWN goes gets a new media, whose appsrc may reuse the old address.
TEST_F(ServedCard, AClientComingAsTheLastOneLeavesIsServed) {
    PatternSource source(320, 240, 25);
    auto card = makeCard("GPU-rejoin", 320, 240, 25, source);
    const std::string url = card->getUrl();
    const auto ask = [](int fd, const std::string& line, const std::string& headers = "") {
        const std::string request = line + " RTSP/1.0\r\nCSeq: 1\r\n" + headers + "\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char reply[4096];
        const ssize_t size = recv(fd, reply, sizeof reply, 0);
        return std::string(reply, static_cast<size_t>(std::max<ssize_t>(size, 0)));
    };
    const auto port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    for (int round = 0; round < 8; ++round) {
        int fds[2];
        for (int& fd : fds) {
            sockaddr_in address{AF_INET, port, {htonl(INADDR_LOOPBACK)}, {}};
            fd = socket(AF_INET, SOCK_STREAM, 0);
            ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        }
        ask(fds[0], "DESCRIBE " + url);
        const std::string setup = ask(fds[0], "SETUP " + url + "/stream=0",
                                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
        const size_t at = setup.find("Session: ");  // none: substr throws, the test fails
        const std::string session = setup.substr(at, setup.find_first_of(";\r", at) - at) + "\r\n";
        ask(fds[0], "PLAY " + url, session);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ask(fds[0], "TEARDOWN " + url, session);
        EXPECT_EQ(ask(fds[1], "DESCRIBE " + url).substr(0, 15), "RTSP/1.0 200 OK") << round;
        close(fds[0]);
        close(fds[1]);
    }
}

TEST(VideoEchoServer, APortInUseFailsTheStartWithALogLine) {
    const testsupport::LoopbackSocket taken(true);
    testsupport::LogCapture log;
    EXPECT_LE(startServer(taken.port), 0);
    EXPECT_EQ(log.startingWith("VideoEcho: the RTSP server cannot listen on 127.0.0.1:" +
                               std::to_string(taken.port))
                  .size(),
              1U);
    EXPECT_FALSE(VideoEcho::stopVideoEchoServer());
}

}  // namespace
}  // namespace videoechotest
