// The real echo server of a card: its stream mounted on the process's RTSP server, its URL, and the
// configuration with its refusals.
#include <host/videoecho.h>

#include <cmath>

#include <host/log.h>

#include "cardstream.h"
#include "echoaddress.h"
#include "rtspserver.h"

namespace tarn::mediadispatch {

struct VideoEcho::Stream {
    std::unique_ptr<CardStream> card;
    CardConfig config;  // guarded by the owner's mutex_
};

namespace {

bool positive(float value) {
    return std::isfinite(value) && value > 0;
}

int evenSize(float value) {
    return static_cast<int>(std::lround(value / 2.0f)) * 2;
}

}  // namespace

VideoEcho::VideoEcho(const VideoEchoAddr& addr, const std::string& name, void* device,
                     int serverHandle, bool serverEnabled)
    : addr_(addr) {
    settings_.name = name;
    settings_.device = device;
    settings_.serverHandle = serverHandle;
    settings_.serverEnabled = serverEnabled;
    const CardConfig defaults;
    settings_.width = static_cast<float>(defaults.width);
    settings_.height = static_cast<float>(defaults.height);
    settings_.fps = defaults.fps;
    settings_.bitRate = static_cast<float>(defaults.bitRate);
    if (!addr.url.empty()) {
        return;  // a remote card's echo: its own machine serves it
    }
    auto stream = std::make_shared<Stream>();
    stream->config.encoder = RtspServer::instance().options().encoder;
    stream->card = std::make_unique<CardStream>(
        echoaddress::mountPath(addr.cardId.nodeId, addr.cardId.deviceId), stream->config, [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            return CardSources{regions_, videoEchoSource_};
        });
    if (!stream->card->mount(serverHandle)) {
        TARN_LOG_WARN(
            "VideoEcho {}: server handle {} is not a running RTSP server; card {} is "
            "not served",
            name, serverHandle, addr.cardId.deviceId);
        return;
    }
    stream_ = stream;
}

VideoEcho::~VideoEcho() {
    // The composing thread reads this object's regions and callback: stop it first.
    stream_.reset();
}

void VideoEcho::setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    videoEchoSource_ = callback;
    settings_.hasVideoEchoSourceCallBack = static_cast<bool>(callback);
    ++settings_.sourceCallBackUpdates;
}

std::string VideoEcho::getUrl() {
    STDisplayCardId card;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!addr_.url.empty()) {
            return addr_.url;
        }
        card = addr_.cardId;
    }
    return generateRtspAddr(card.nodeId);
}

std::string VideoEcho::generateRtspAddr(const std::string& nodeId) const {
    std::string deviceId;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        deviceId = addr_.cardId.deviceId;
    }
    return RtspServer::instance().urlBase() + echoaddress::mountPath(nodeId, deviceId);
}

void VideoEcho::setVideoEchoResolution(float width, float height) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!positive(width) || !positive(height) || evenSize(width) < 2 || evenSize(height) < 2) {
        TARN_LOG_WARN("VideoEcho {}: resolution {}x{} refused; keeping {}x{}", settings_.name,
                      width, height, settings_.width, settings_.height);
        return;
    }
    settings_.width = static_cast<float>(evenSize(width));
    settings_.height = static_cast<float>(evenSize(height));
    if (stream_) {
        stream_->config.width = evenSize(width);
        stream_->config.height = evenSize(height);
        stream_->card->configure(stream_->config);
    }
}

void VideoEcho::setVideoEchoTransmissionMode(bool mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.transmissionMode = mode;
    if (stream_) {
        stream_->config.tcpOnly = mode;
        stream_->card->configure(stream_->config);
    }
}

void VideoEcho::setVideoEchoFPS(float fps) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!positive(fps)) {
        TARN_LOG_WARN("VideoEcho {}: frame rate {} refused; keeping {}", settings_.name, fps,
                      settings_.fps);
        return;
    }
    settings_.fps = fps;
    if (stream_) {
        stream_->config.fps = fps;
        stream_->card->configure(stream_->config);
    }
}

void VideoEcho::setVideoEchoBitRate(float bitRate) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!positive(bitRate) || bitRate >= 2.0e9f) {
        TARN_LOG_WARN("VideoEcho {}: bit rate {} refused; keeping {}", settings_.name, bitRate,
                      settings_.bitRate);
        return;
    }
    settings_.bitRate = bitRate;
    if (stream_) {
        stream_->config.bitRate = static_cast<int>(bitRate);
        stream_->card->configure(stream_->config);
    }
}

bool VideoEcho::createRecordVideo() {
    bool local = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!settings_.serverEnabled) {
            return false;
        }
        local = addr_.url.empty();
    }
    const std::string url = local ? getUrl() : std::string();
    std::lock_guard<std::mutex> lock(mutex_);
    if (addr_.url.empty()) {
        addr_.url = url;
    }
    settings_.recording = true;
    return true;
}

int VideoEcho::startVideoEchoServer() {
    return RtspServer::instance().start();
}

bool VideoEcho::stopVideoEchoServer() {
    return RtspServer::instance().stop();
}

void VideoEcho::setServerOptions(const VideoEchoServerOptions& options) {
    RtspServer::instance().setOptions(options);
}

}  // namespace tarn::mediadispatch
