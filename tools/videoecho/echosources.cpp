#include "echosources.h"

#include <cstdlib>

#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include "pattern.h"
#include "quietstderr.h"

namespace videoecho {

namespace {

// Tells a new picture from the same one again: the pattern's frame number when the channel carries
// it, else a hash of a few rows of the first plane.
uint64_t pictureIdentity(const qv::mediacore::IFrame& frame) {
    const FrameView view = viewOf(frame);
    Stamp stamp;
    bool checksumOk = false;
    if (readStamp(view, stamp, checksumOk) && checksumOk) {
        return stamp.frame + 1;
    }
    uint64_t hash = 1469598103934665603ULL;
    const int rows[] = {0, view.height / 3, view.height / 2, view.height * 2 / 3};
    for (const int row : rows) {
        const uint8_t* line = view.data[0] + static_cast<size_t>(row) * view.lineSizes[0];
        for (int i = 0; i < std::abs(view.lineSizes[0]); i += 7) {
            hash = (hash ^ line[i]) * 1099511628211ULL;
        }
    }
    return hash;
}

}  // namespace

EchoChannelSources::EchoChannelSources(const std::map<uint64_t, std::string>& channels, bool quiet)
    : quiet_(quiet) {
    for (const auto& [mediaId, key] : channels) {
        auto player = std::make_shared<vantor::mediadispatch::SharedMemoryPlayer>(nullptr, key);
        player->play(0.0, 0.0);
        players_[mediaId] = player;
    }
}

EchoChannelSources::~EchoChannelSources() = default;

void** EchoChannelSources::answer(uint64_t mediaId, void** slot) {
    const auto found = players_.find(mediaId);
    if (found == players_.end() || slot == nullptr || *slot == nullptr) {
        return nullptr;
    }
    qv::mediacore::IFrame* frame = nullptr;
    {
        QuietStderr silence(quiet_);
        frame = found->second->getFrame(0.0);
    }
    if (frame == nullptr) {
        return nullptr;
    }
    auto* out = static_cast<tarn::mediadispatch::VideoEchoSourceFrame*>(*slot);
    out->frame->setWidth(frame->getWidth());
    out->frame->setHeight(frame->getHeight());
    out->frame->setFormat(frame->format());
    *out->frame->kframe() = *frame->kframe();
    out->sequence = pictureIdentity(*frame);
    return slot;
}

tarn::mediadispatch::VideoEchoSourceCallBack EchoChannelSources::callbackOf(
    std::shared_ptr<EchoChannelSources> sources) {
    return
        [sources](const uint64_t& mediaId, void** slot) { return sources->answer(mediaId, slot); };
}

}  // namespace videoecho
