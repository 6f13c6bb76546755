// Echo media registration (viewer side): every dispatched media gets an EchoMedia that reads its
// shared-memory channel, tied to the first display card reported ready and registered with the
// host's media manager. The manager keeps only weak references; the host owns the media.
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include <new>
#include <optional>

#include <host/idgenerator.h>
#include <host/log.h>
#include <tarnmediadispatchvideoecho/echomedia.h>

#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

using vantor::mediadispatch::EchoMedia;

void VideoEchoMgr::Impl::onDeviceReady(const STDisplayCardInfo& info) {
    if (serverEnabled) {
        return;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    displayCards.push_back(info);
}

void VideoEchoMgr::Impl::addMedia(const MediaInfo& media) {
    std::optional<STDisplayCardInfo> firstCard;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!displayCards.empty()) {
            firstCard = displayCards.front();
        }
    }
    if (!firstCard) {
        TARN_LOG_INFO("display card is empty!");
        return;
    }
    auto* const mgr = mediaMgr.load();
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
    echoMedia->init(qvRuntime.load());
    const std::string key = echoKey(media.mediaId, media.editingMode);
    echoMedia->setEchoType(vantor::mediadispatch::kEchoTypeSharedMemory);
    echoMedia->setChannelViews(channelViews);
    echoMedia->setPlayerInfo(key, firstCard->device, firstCard->deviceId);
    vantor::STRectInfo source;
    source.id = media.mediaId;
    source.x = 0;
    source.y = 0;
    source.width = 0;
    source.height = 0;
    echoMedia->addSpliceSource(source);
    mgr->addMediaResource(echoMedia);
    std::lock_guard<std::mutex> lock(stateMutex);
    echoMedias.emplace(key, std::weak_ptr<Media>(echoMedia));
}

void VideoEchoMgr::Impl::removeMedia(const std::string& key) {
    auto* const mgr = mediaMgr.load();
    if (mgr == nullptr) {
        return;
    }
    std::shared_ptr<Media> media;
    bool tracked = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        const auto found = echoMedias.find(key);
        if (found != echoMedias.end()) {
            tracked = true;
            media = found->second.lock();
            echoMedias.erase(found);
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
