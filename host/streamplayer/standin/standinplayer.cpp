// The stream player that unit tests link instead of the GStreamer one: it keeps its URL and device
// and follows the play state, but receives nothing, so getFrame has no picture to give.
#include <host/streammediaplayer.h>

namespace qv::streammediaplayercore {

struct StreammediaPlayer::Impl {
    std::string url;
    void* device = nullptr;
};

StreammediaPlayer::StreammediaPlayer(std::shared_ptr<mediacore::IMeta> meta, const std::string& url,
                                     void* device)
    : IMediaPlayer(std::move(meta), url), impl_(new Impl{url, device}) {}

StreammediaPlayer::~StreammediaPlayer() {
    setPlayCompleted(false);
}

bool StreammediaPlayer::play(double start, double end) {
    return IMediaPlayer::play(start, end);
}

bool StreammediaPlayer::stop(bool flag) {
    setPlayCompleted(false);
    return IMediaPlayer::stop(flag);
}

mediacore::IFrame* StreammediaPlayer::getFrame(double) {
    return nullptr;
}

const std::string& StreammediaPlayer::url() const {
    return impl_->url;
}

void* StreammediaPlayer::device() const {
    return impl_->device;
}

}  // namespace qv::streammediaplayercore
