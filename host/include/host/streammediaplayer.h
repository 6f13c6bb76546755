// The host's stream player: plays the H.264 stream served at an RTSP URL and hands the newest
// decoded picture to getFrame. Owned by the media that created it; play, stop and getFrame come
// from the host's player thread, the play state may be read from any thread.
#pragma once

#include <memory>
#include <string>

#include <host/imediaplayer.h>

namespace qv::streammediaplayercore {

class StreammediaPlayer : public mediacore::IMediaPlayer {
public:
    StreammediaPlayer(std::shared_ptr<mediacore::IMeta> meta, const std::string& url, void* device);
    ~StreammediaPlayer() override;

    // Starts receiving in the background; returns at once. Reconnects on its own until stop.
    bool play(double start, double end) override;
    // Lets go of the stream without waiting for the connection to close.
    bool stop(bool flag) override;
    // The newest decoded picture (I420, owned by the player and valid until the next call), or
    // null while stopped or before the first picture arrived.
    mediacore::IFrame* getFrame(double time) override;

    const std::string& url() const;
    void* device() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qv::streammediaplayercore
