// Test fixture of the echo server: the process's RTSP server on a free loopback port for each
// test, cards served on it, and a source whose media show videoecho's moving pattern with the
// frame number and send time drawn as blocks, so that what a client decodes can be read back.
// The source may be called from any thread.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <host/videoecho.h>

#include "monoclock.h"
#include "pattern.h"

namespace videoechotest {

using tarn::mediadispatch::VideoEcho;

class PatternSource {
public:
    PatternSource(int width, int height, double fps) : width_(width), height_(height), fps_(fps) {}

    void add(uint64_t mediaId) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& media = media_[mediaId];
        if (!media) {
            media.reset(new Media{
                {videoecho::PatternFormat::yuv420p, width_, height_, static_cast<int>(fps_)}});
        }
        media->present = true;
    }
    // From now on the media has no picture. Its pixels stay: the server may still be composing
    // from the last answer, which must stay valid until the next call.
    void remove(uint64_t mediaId) {
        std::lock_guard<std::mutex> lock(mutex_);
        media_.at(mediaId)->present = false;
    }
    tarn::mediadispatch::VideoEchoSourceCallBack callback() {
        return [this](const uint64_t& mediaId, void** slot) -> void** {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = media_.find(mediaId);
            if (found == media_.end() || !found->second->present) {
                return nullptr;
            }
            const int64_t now = videoecho::monotonicNs();
            const auto number =
                static_cast<uint64_t>(static_cast<double>(now - start_) * fps_ / 1e9);
            Media& media = *found->second;
            if (media.drawn != number) {
                media.pattern.draw(number);
                media.pattern.stamp({1, number, now});
                media.drawn = number;
            }
            auto* out = static_cast<tarn::mediadispatch::VideoEchoSourceFrame*>(*slot);
            out->frame->setWidth(width_);
            out->frame->setHeight(height_);
            out->frame->setFormat(media.pattern.frame().format());
            *out->frame->kframe() = *media.pattern.frame().kframe();
            out->sequence = number;
            return slot;
        };
    }

private:
    const int width_;
    const int height_;
    const double fps_;
    const int64_t start_ = videoecho::monotonicNs();
    std::mutex mutex_;
    struct Media {
        videoecho::PatternFrame pattern;
        uint64_t drawn = UINT64_MAX;
        bool present = true;
    };
    std::map<uint64_t, std::unique_ptr<Media>> media_;  // guarded by mutex_
};

// Starts the process's echo server on loopback `port` (0: any free one); its handle, or 0 /
// negative when it cannot start.
inline int startServer(int port) {
    tarn::mediadispatch::VideoEchoServerOptions options;
    options.bindAddress = "127.0.0.1";
    options.advertisedHost = "127.0.0.1";
    options.port = port;
    VideoEcho::setServerOptions(options);
    return VideoEcho::startVideoEchoServer();
}

class ServedCard : public ::testing::Test {
protected:
    void SetUp() override { start(0); }
    void TearDown() override {
        if (handle_ > 0) {
            VideoEcho::stopVideoEchoServer();
        }
    }
    void start(int port) {
        handle_ = startServer(port);
        ASSERT_GT(handle_, 0);
    }

    // A card of this machine ("node-a") at `width` x `height` and `fps`, fed by `source`, showing
    // media 7 on the whole card.
    std::shared_ptr<VideoEcho> makeCard(const std::string& deviceId, int width, int height,
                                        float fps, PatternSource& source) {
        auto card = std::make_shared<VideoEcho>(
            tarn::mediadispatch::VideoEchoAddr{{"node-a", 1, deviceId, ""}, ""}, "video1", nullptr,
            handle_, true);
        card->setVideoEchoResolution(static_cast<float>(width), static_cast<float>(height));
        card->setVideoEchoFPS(fps);
        card->setVideoEchoBitRate(2000000);
        card->setVideoEchoTransmissionMode(true);
        card->setVideoEchoSourceCallBack(source.callback());
        source.add(7);
        card->addSplicingSource(1, 7);
        return card;
    }

    int handle_ = 0;
};

}  // namespace videoechotest
