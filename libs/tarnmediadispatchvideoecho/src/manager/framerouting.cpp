// Frame routing on the source side: the writers of the dispatched media, their play states and the
// frames handed to them.
#include "sourcechannels.h"

#include <host/log.h>

namespace tarn::mediadispatch {

SourceChannels::SourceChannels(CardEchoes& cards) : cards_(cards), channels_(8) {
    channels_.max_load_factor(1.0F);
    // Longest echo key: 20 digits of the media id and 11 characters of the mode.
    lookupKey_.reserve(32);
}

void SourceChannels::updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame) {
    if (frame == nullptr) {
        return;
    }
    const EchoKey key(info.mediaId, info.editingMode);
    const auto text = key.view();
    std::lock_guard<std::mutex> lock(mutex_);
    lookupKey_.assign(text.data(), text.size());
    const auto found = channels_.find(lookupKey_);
    if (found != channels_.end() && found->second) {
        found->second->updateFrame(frame, 0.0);
    }
}

void SourceChannels::onMediaAdded(const MediaInfo& media) {
    addSharedMemoryIPCServer(echoKey(media.mediaId, media.editingMode));
}

void SourceChannels::addSharedMemoryIPCServer(const std::string& key) {
    auto writer = std::make_shared<SharedMemoryIPCServer>(key);
    bool inserted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inserted = channels_.emplace(key, writer).second;
    }
    if (!inserted) {
        TARN_LOG_INFO("The id already exists, no need to create a new one.");
    }
}

void SourceChannels::onMediaRemoved(uint64_t mediaId, EditingMode mode) {
    const std::string key = echoKey(mediaId, mode);
    std::shared_ptr<SharedMemoryIPCServer> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = channels_.find(key);
    if (found != channels_.end()) {
        removed = std::move(found->second);
        channels_.erase(found);
    }
}

void SourceChannels::onPlaying(uint64_t mediaId, EditingMode mode) {
    const std::string key = echoKey(mediaId, mode);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = channels_.find(key);
    if (found != channels_.end() && found->second) {
        found->second->play(0.0, 0.0);
    }
}

void SourceChannels::onStopped(uint64_t mediaId, EditingMode mode) {
    const std::string key = echoKey(mediaId, mode);
    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = channels_.find(key);
        if (found != channels_.end() && found->second) {
            found->second->stop();
            stopped = true;
        }
    }
    if (stopped) {
        TARN_LOG_INFO("VideoEcho media is stop, mediaId:{}, editingMode:{}", mediaId,
                      static_cast<int32_t>(mode));
    }
}

void SourceChannels::setEditingMode(EditingMode mode, bool flag) {
    for (const auto& server : cards_.snapshot()) {
        server->setEditingMode(mode, flag);
    }
}

}  // namespace tarn::mediadispatch
