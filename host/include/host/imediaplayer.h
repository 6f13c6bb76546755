// Media-core player base: the host drives a player through its play state and asks it for frames
// with getFrame. The play state may be read from any thread; the rest follows the host's own rules
// (one player thread calls getFrame).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <host/iframe.h>

namespace qv::mediacore {

enum EnumPlayerState : int32_t {
    kPlayerStateIdle = 0,
    kPlayerStateInitialized = 1,
    kPlayerStatePlaying = 2,
    kPlayerStateSeeking = 3,
    kPlayerStateBuffering = 4,
    kPlayerStatePaused = 5,
    kPlayerStateResumed = 6,
    kPlayerStateStopped = 7,
    kPlayerStateDestroyed = 8,
};

class IMediaPlayer {
public:
    IMediaPlayer(std::shared_ptr<IMeta> meta, const std::string& name);
    virtual ~IMediaPlayer();
    IMediaPlayer(const IMediaPlayer&) = delete;
    IMediaPlayer& operator=(const IMediaPlayer&) = delete;

    virtual bool init();
    virtual bool play(double start, double end);
    virtual bool stop(bool flag);
    virtual bool pause(double time);
    virtual bool resume(double time);
    virtual IFrame* getFrame(double time);
    virtual void destroyFrame();

    EnumPlayerState getPlayState() const { return playState_.load(std::memory_order_acquire); }
    bool isPlayCompleted() const { return playCompleted_.load(std::memory_order_acquire); }
    const std::shared_ptr<IMeta>& meta() const { return meta_; }
    const std::string& name() const { return name_; }

protected:
    void setPlayState(EnumPlayerState state) { playState_.store(state, std::memory_order_release); }
    void setPlayCompleted(bool completed) {
        playCompleted_.store(completed, std::memory_order_release);
    }

private:
    std::shared_ptr<IMeta> meta_;
    std::string name_;
    std::atomic<EnumPlayerState> playState_{kPlayerStateIdle};
    std::atomic<bool> playCompleted_{false};
};

}  // namespace qv::mediacore
