// SharedMemoryPlayer: a media player that reads the latest frame of a shared-memory frame channel
// into its one frame object. Owned by the echo media resource; getFrame and waitForFrame run on the
// host's player thread only, the play-state calls and setVideoEchoSendFrameEnabled may come from
// any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <host/iframe.h>
#include <host/imediaplayer.h>
#include <tarnmediadispatchvideoecho/channelviewset.h>
#include <tarnmediadispatchvideoecho/export.h>

namespace vantor::mediadispatch {

// What the last getFrame found in the channel.
enum class ChannelReadStatus {
    notReading,     // stopped, or frame delivery off: the channel was not looked at
    noChannel,      // no segment of that name could be opened
    newFrame,       // a complete frame not returned before
    sameFrame,      // the frame returned last time, unchanged
    busy,           // the writer kept overwriting the frame; the last intact one was returned
    noWriter,       // the channel's writer is gone (stopped or died): nothing returned
    invalidHeader,  // the header describes no frame that fits the channel: nothing returned
    unguarded,      // a channel without a guard: returned as read, which may mix two frames
};

struct ChannelReadInfo {
    ChannelReadStatus status = ChannelReadStatus::notReading;
    // Of the frame in the player's frame object (guarded channels only, else 0): the writer's
    // frame count and its CLOCK_MONOTONIC and CLOCK_REALTIME when it completed the frame.
    uint64_t sequence = 0;
    int64_t monotonicNs = 0;
    int64_t realtimeNs = 0;
};

class TARN_VIDEOECHO_API SharedMemoryPlayer
    : public qv::mediacore::IMediaPlayer,
      public std::enable_shared_from_this<SharedMemoryPlayer> {
public:
    // Players given the same view set share one view of a channel they all read; without one
    // the player keeps a set of its own.
    SharedMemoryPlayer(std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& name,
                       std::shared_ptr<tarn::mediadispatch::ChannelViewSet> views = nullptr);
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

    // getFrame for a reader that wants every frame rather than the latest at its own pace: reads,
    // and when nothing new has come (the same frame, a frame being written, no channel or writer
    // yet, not playing) sleeps until the writer commits the next frame, then reads again; at most
    // `timeout` in all, whatever the writer does (a stalled or dead writer only ends the wait).
    // Returns what the last read returned, with lastRead() telling which; returns at once on a
    // new or invalid frame and on an unguarded channel, where nothing tells frames apart. The
    // sleep is a futex on the guard's sequence, woken by the writer at each commit, so the reader
    // runs as soon as the frame is there instead of when its next poll comes round.
    qv::mediacore::IFrame* waitForFrame(std::chrono::nanoseconds timeout);

    void setVideoEchoSendFrameEnabled(bool enabled);

    // What the last getFrame found (any thread).
    ChannelReadInfo lastRead() const;

private:
    bool isReading() const;

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantor::mediadispatch
