// Echo media registration and their play states on the viewer side.
#include "viewermedias.h"

#include <new>
#include <optional>

#include <host/idgenerator.h>
#include <host/log.h>
#include <tarnmediadispatchvideoecho/echomedia.h>

namespace tarn::mediadispatch {

using vantor::mediadispatch::EchoMedia;
using vantor::mediadispatch::Media;

ViewerMedias::ViewerMedias(BoundCards& bound) : bound_(bound) {}

void ViewerMedias::setMediaMgr(vantor::IMediaMgr* mediaMgr) {
    mediaMgr_ = mediaMgr;
}

void ViewerMedias::setQVRuntime(vantor::IQVRuntime* runtime) {
    qvRuntime_ = runtime;
}

void ViewerMedias::onDeviceReady(const STDisplayCardInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    displayCards_.push_back(info);
}

void ViewerMedias::onMediaAdded(const MediaInfo& media) {
    addMedia(media);
}

void ViewerMedias::onMediaRemoved(uint64_t mediaId, EditingMode mode) {
    removeMedia(echoKey(mediaId, mode));
}

std::shared_ptr<Media> ViewerMedias::echoMediaOf(uint64_t mediaId, EditingMode mode) {
    const std::string key = echoKey(mediaId, mode);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = echoMedias_.find(key);
    return found == echoMedias_.end() ? nullptr : found->second.lock();
}

void ViewerMedias::onPlaying(uint64_t mediaId, EditingMode mode) {
    if (const auto media = echoMediaOf(mediaId, mode)) {
        media->play(0.0);
    } else {
        bound_.applyToBoundCards(mediaId, mode, BoundCards::Action::Play);
    }
}

void ViewerMedias::onStopped(uint64_t mediaId, EditingMode mode) {
    if (const auto media = echoMediaOf(mediaId, mode)) {
        media->stop();
    } else {
        bound_.applyToBoundCards(mediaId, mode, BoundCards::Action::Stop);
    }
}

void ViewerMedias::onMediaBlack(uint64_t mediaId, EditingMode mode) {
    if (const auto media = echoMediaOf(mediaId, mode)) {
        media->setBlack();
    } else {
        bound_.applyToBoundCards(mediaId, mode, BoundCards::Action::Black);
    }
}

void ViewerMedias::onVideoEchoSendFrameEnabled(uint64_t mediaId, EditingMode mode, bool enabled) {
    const auto media = echoMediaOf(mediaId, mode);
    if (!media) {
        TARN_LOG_WARN("media is null");
        return;
    }
    const auto echoMedia = std::dynamic_pointer_cast<EchoMedia>(media);
    if (!echoMedia) {
        TARN_LOG_WARN("echoMedia is null");
        return;
    }
    echoMedia->setVideoEchoSendFrameEnabled(enabled);
}

void ViewerMedias::addMedia(const MediaInfo& media) {
    std::optional<STDisplayCardInfo> firstCard;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!displayCards_.empty()) {
            firstCard = displayCards_.front();
        }
    }
    if (!firstCard) {
        TARN_LOG_INFO("display card is empty!");
        return;
    }
    auto* const mgr = mediaMgr_.load();
    if (mgr == nullptr) {
        TARN_LOG_WARN("_mediaMgr is null.");
        return;
    }
    std::shared_ptr<EchoMedia> echoMedia;
    try {
        echoMedia = std::make_shared<EchoMedia>(vantor::IdGenerator::instance().getUuid(),
                                                std::weak_ptr<qv::mediacore::IMeta>(),
                                                media.editingMode, !media.mediaFlag);
    } catch (const std::bad_alloc&) {
        echoMedia.reset();
    }
    if (!echoMedia) {
        TARN_LOG_WARN("echoMedia is nullptr");
        return;
    }
    echoMedia->init(qvRuntime_.load());
    const std::string key = echoKey(media.mediaId, media.editingMode);
    echoMedia->setEchoType(vantor::mediadispatch::kEchoTypeSharedMemory);
    echoMedia->setChannelViews(channelViews_);
    echoMedia->setPlayerInfo(key, firstCard->device, firstCard->deviceId);
    vantor::STRectInfo source;
    source.id = media.mediaId;
    source.x = 0;
    source.y = 0;
    source.width = 0;
    source.height = 0;
    echoMedia->addSpliceSource(source);
    mgr->addMediaResource(echoMedia);
    std::lock_guard<std::mutex> lock(mutex_);
    echoMedias_.emplace(key, std::weak_ptr<Media>(echoMedia));
}

void ViewerMedias::removeMedia(const std::string& key) {
    auto* const mgr = mediaMgr_.load();
    if (mgr == nullptr) {
        return;
    }
    std::shared_ptr<Media> media;
    bool tracked = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = echoMedias_.find(key);
        if (found != echoMedias_.end()) {
            tracked = true;
            media = found->second.lock();
            echoMedias_.erase(found);
        }
    }
    if (!tracked) {
        TARN_LOG_WARN("not find echo media, id:{}", key);
        return;
    }
    if (!media) {
        TARN_LOG_WARN("media is null");
        return;
    }
    mgr->removeMediaResource(media->id(), media->editingMode());
}

}  // namespace tarn::mediadispatch
