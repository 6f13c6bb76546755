#include <host/imediaplayer.h>

namespace qv::mediacore {

IMediaPlayer::IMediaPlayer(std::shared_ptr<IMeta> meta, const std::string& name)
    : meta_(std::move(meta)), name_(name) {}

IMediaPlayer::~IMediaPlayer() = default;

bool IMediaPlayer::init() {
    return true;
}

bool IMediaPlayer::play(double, double) {
    setPlayState(kPlayerStatePlaying);
    return true;
}

bool IMediaPlayer::stop(bool) {
    setPlayState(kPlayerStateStopped);
    return true;
}

bool IMediaPlayer::pause(double) {
    setPlayState(kPlayerStatePaused);
    return true;
}

bool IMediaPlayer::resume(double) {
    setPlayState(kPlayerStatePlaying);
    return true;
}

IFrame* IMediaPlayer::getFrame(double) {
    return nullptr;
}

void IMediaPlayer::destroyFrame() {}

}  // namespace qv::mediacore
