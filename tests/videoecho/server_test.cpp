// The echo server's own rules: URLs, configuration refusals, the shared server's reference count,
// a port already taken, transports, cards that are not served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "logcapture.h"
#include "servedcard.h"
#include "streamclient.h"

namespace videoechotest {
namespace {

using tarn::mediadispatch::VideoEcho;
using tarn::mediadispatch::VideoEchoAddr;

// A TCP socket of this test; listening makes its port "in use".
class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {}
    ~Socket() { close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int listenOnFreePort() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 1) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            return -1;
        }
        return ntohs(address.sin_port);
    }
    bool connectTo(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        return connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

private:
    int fd_;
};

int portOf(const std::string& url) {
    const auto colon = url.find(':', 7);
    return std::stoi(url.substr(colon + 1));
}

TEST_F(ServedCard, UrlsNameTheCardAndItsNode) {
    StampedSource source(64, 64, 10);
    tarn::mediadispatch::VideoEchoAddr addr{{"node a", 1, "GPU/0", ""}, ""};
    VideoEcho card(addr, "video1", nullptr, handle_, true);
    const std::string url = card.getUrl();
    EXPECT_EQ(url.rfind("rtsp://127.0.0.1:", 0), 0U) << url;
    EXPECT_NE(url.find("/echo/node%20a/GPU%2F0"), std::string::npos) << url;
    EXPECT_GT(portOf(url), 0);
    EXPECT_EQ(card.generateRtspAddr("node a"), url);
    EXPECT_NE(card.generateRtspAddr("node b"), url);
    EXPECT_TRUE(card.createRecordVideo());
    EXPECT_EQ(card.getAddr().url, url);

    // The encoded path is the mounted one.
    card.setVideoEchoResolution(64, 64);
    card.setVideoEchoSourceCallBack(source.callback());
    ProbedStream stream;
    EXPECT_EQ(probe(url, stream).exitCode, 0);
    EXPECT_EQ(stream.width, 64);
}

TEST_F(ServedCard, CardsThatAreNotOursServeNothing) {
    VideoEchoAddr remote{{"node-b", 2, "GPU-1", ""}, "rtsp://10.1.2.3:8554/echo/node-b/GPU-1"};
    VideoEcho remoteCard(remote, "", nullptr, handle_, false);
    EXPECT_EQ(remoteCard.getUrl(), remote.url);
    EXPECT_EQ(remoteCard.getAddr().url, remote.url);
    EXPECT_FALSE(remoteCard.createRecordVideo());

    testsupport::LogCapture log;
    VideoEcho stale({{"node-a", 3, "GPU-3", ""}, ""}, "video3", nullptr, handle_ + 100, true);
    EXPECT_EQ(log.startingWith("VideoEcho video3: server handle").size(), 1U);
    ProbedStream stream;
    EXPECT_NE(probe(stale.getUrl(), stream).exitCode, 0);
}

TEST_F(ServedCard, ZeroOrNegativeConfigurationIsRefusedWithOneWarning) {
    VideoEcho card({{"node-a", 1, "GPU-0", ""}, ""}, "video1", nullptr, handle_, true);
    card.setVideoEchoResolution(321, 241);
    card.setVideoEchoFPS(25);
    card.setVideoEchoBitRate(2097152);
    EXPECT_EQ(card.settings().width, 322);
    EXPECT_EQ(card.settings().height, 242);

    const std::vector<std::function<void()>> refused = {
        [&] { card.setVideoEchoResolution(0, 480); },
        [&] { card.setVideoEchoResolution(640, -2); },
        [&] { card.setVideoEchoResolution(0.4f, 0.4f); },
        [&] { card.setVideoEchoFPS(0); },
        [&] { card.setVideoEchoFPS(-30); },
        [&] { card.setVideoEchoBitRate(0); },
        [&] { card.setVideoEchoBitRate(-1); },
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        testsupport::LogCapture log;
        refused[i]();
        EXPECT_EQ(log.lines().size(), 1U) << "case " << i;
        EXPECT_EQ(log.lines().at(0).level, spdlog::level::warn) << "case " << i;
        const auto settings = card.settings();
        EXPECT_EQ(settings.width, 322) << "case " << i;
        EXPECT_EQ(settings.height, 242) << "case " << i;
        EXPECT_EQ(settings.fps, 25) << "case " << i;
        EXPECT_EQ(settings.bitRate, 2097152) << "case " << i;
    }
}

TEST_F(ServedCard, TcpOnlyRefusesUdpClients) {
    StampedSource source(64, 64, 10);
    source.add(7, 100);
    for (const bool tcpOnly : {true, false}) {
        auto card = makeCard(tcpOnly ? "GPU-tcp" : "GPU-any", 64, 64, 10, source);
        card->addSplicingSource(1, 7);
        card->setVideoEchoTransmissionMode(tcpOnly);
        const auto udp = runProgram({"ffprobe", "-v", "error", "-rtsp_transport", "udp",
                                     "-show_entries", "stream=codec_name", card->getUrl()},
                                    20000);
        EXPECT_EQ(udp.exitCode == 0, !tcpOnly) << "tcpOnly " << tcpOnly << ": " << udp.err;
    }
}

TEST(VideoEchoServer, TwoStartsShareOneServerUntilTheLastStop) {
    tarn::mediadispatch::VideoEchoServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.advertisedHost = "127.0.0.1";
    options.port = 0;
    VideoEcho::setServerOptions(options);
    const int first = VideoEcho::startVideoEchoServer();
    const int second = VideoEcho::startVideoEchoServer();
    ASSERT_GT(first, 0);
    EXPECT_EQ(second, first);
    VideoEcho card({{"node-a", 1, "GPU-0", ""}, ""}, "video1", nullptr, first, true);
    const int port = portOf(card.getUrl());

    EXPECT_TRUE(VideoEcho::stopVideoEchoServer());
    EXPECT_TRUE(Socket().connectTo(port)) << "the other start's server went away";
    EXPECT_TRUE(VideoEcho::stopVideoEchoServer());
    EXPECT_FALSE(Socket().connectTo(port));
    EXPECT_FALSE(VideoEcho::stopVideoEchoServer());
}

TEST(VideoEchoServer, APortInUseFailsTheStartWithALogLine) {
    Socket taken;
    const int port = taken.listenOnFreePort();
    ASSERT_GT(port, 0);
    tarn::mediadispatch::VideoEchoServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.port = port;
    VideoEcho::setServerOptions(options);
    testsupport::LogCapture log;
    EXPECT_LE(VideoEcho::startVideoEchoServer(), 0);
    EXPECT_EQ(log.startingWith("VideoEcho: the RTSP server cannot listen on 127.0.0.1:" +
                               std::to_string(port))
                  .size(),
              1U);
    EXPECT_FALSE(VideoEcho::stopVideoEchoServer());
}

}  // namespace
}  // namespace videoechotest
