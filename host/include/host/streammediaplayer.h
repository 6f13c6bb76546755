// The host's stream player: plays the stream served at a URL. In this host layer it keeps its URL
// and device and follows the play state, but decodes nothing: getFrame returns no frame.
#pragma once

#include <memory>
#include <string>

#include <host/imediaplayer.h>

namespace qv::streammediaplayercore {

class StreammediaPlayer : public mediacore::IMediaPlayer {
public:
    StreammediaPlayer(std::shared_ptr<mediacore::IMeta> meta, const std::string& url, void* device)
        : IMediaPlayer(std::move(meta), url), url_(url), device_(device) {}

    const std::string& url() const { return url_; }
    void* device() const { return device_; }

private:
    std::string url_;
    void* device_;
};

}  // namespace qv::streammediaplayercore
