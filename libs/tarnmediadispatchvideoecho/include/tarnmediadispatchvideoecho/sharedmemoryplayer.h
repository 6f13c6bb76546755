// SharedMemoryPlayer: a media player that reads the latest frame of a shared-memory frame channel
// into its one frame object. Owned by the echo media resource; getFrame runs on the host's player
// thread only, the play-state calls and setVideoEchoSendFrameEnabled may come from any thread.
#pragma once

#include <memory>
#include <string>

#include <host/iframe.h>
#include <host/imediaplayer.h>
#include <tarnmediadispatchvideoecho/export.h>

namespace vantor::mediadispatch {

class TARN_VIDEOECHO_API SharedMemoryPlayer
    : public qv::mediacore::IMediaPlayer,
      public std::enable_shared_from_this<SharedMemoryPlayer> {
public:
    SharedMemoryPlayer(std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& name);
    ~SharedMemoryPlayer() override;

    bool init() override;
    bool play(double start, double end) override;
    bool stop(bool flag) override;
    bool pause(double time) override;
    bool resume(double time) override;
    // The channel's current frame in the player's own frame object (same pointer every time), or
    // null when there is nothing valid to show. The caller must not free it.
    qv::mediacore::IFrame* getFrame(double time) override;
    void destroyFrame() override;

    void setVideoEchoSendFrameEnabled(bool enabled);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantor::mediadispatch
