#include "servedcard.h"

namespace videoechotest {

using tarn::mediadispatch::VideoEcho;

void ServedCard::SetUp() {
    tarn::mediadispatch::VideoEchoServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.advertisedHost = "127.0.0.1";
    options.port = 0;
    VideoEcho::setServerOptions(options);
    handle_ = VideoEcho::startVideoEchoServer();
    ASSERT_GT(handle_, 0);
}

void ServedCard::TearDown() {
    if (handle_ > 0) {
        VideoEcho::stopVideoEchoServer();
    }
}

std::shared_ptr<VideoEcho> ServedCard::makeCard(const std::string& deviceId, int width, int height,
                                                float fps, StampedSource& source) {
    tarn::mediadispatch::VideoEchoAddr addr{{"node-a", 1, deviceId, ""}, ""};
    auto card = std::make_shared<VideoEcho>(addr, "video1", nullptr, handle_, true);
    card->setVideoEchoResolution(static_cast<float>(width), static_cast<float>(height));
    card->setVideoEchoFPS(fps);
    card->setVideoEchoBitRate(1000000);
    card->setVideoEchoTransmissionMode(true);
    card->setVideoEchoSourceCallBack(source.callback());
    return card;
}

size_t frameCount(const std::string& bytes, int width, int height) {
    return bytes.size() / (static_cast<size_t>(width * height) * 3 / 2);
}

}  // namespace videoechotest
