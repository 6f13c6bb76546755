// The echo servers of the display cards: one per card (matched by deviceId), named video1, video2,
// ... in creation order, configured with the settings in force when they are created.
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include <string>
#include <utility>

#include <host/log.h>

#include "cardechoes.h"
#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

bool CardEchoes::reserveLocked(const std::string& deviceId) {
    if (!index_.emplace(deviceId, entries_.size()).second) {
        return false;
    }
    entries_.push_back(Entry{deviceId, nullptr, {}});
    return true;
}

void CardEchoes::installLocked(const std::string& deviceId, std::shared_ptr<VideoEcho> server,
                               host::ScopedConnection relay) {
    const auto it = index_.find(deviceId);
    if (it == index_.end()) {
        return;  // released meanwhile
    }
    auto& entry = entries_[it->second];
    if (!entry.server) {
        entry.server = std::move(server);
        entry.relay = std::move(relay);
    }
}

std::shared_ptr<VideoEcho> CardEchoes::find(const STDisplayCardId& cardId) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = index_.find(cardId.deviceId);
    return it == index_.end() ? nullptr : entries_[it->second].server;
}

std::vector<std::shared_ptr<VideoEcho>> CardEchoes::snapshot() {
    std::vector<std::shared_ptr<VideoEcho>> servers;
    std::lock_guard<std::mutex> lock(mutex_);
    servers.reserve(entries_.size());
    for (const auto& entry : entries_) {
        if (entry.server) {
            servers.push_back(entry.server);
        }
    }
    return servers;
}

CardEchoes::Config CardEchoes::config() {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void CardEchoes::addEcho(const STDisplayCardId& cardId, void* device, bool enabled,
                         StrategySignal& relayTo, const std::weak_ptr<void>& relayOwner) {
    // The check and the reservation are one critical section, so that concurrent calls for a new
    // card create one server; the server itself is built and configured outside the lock.
    std::string name;
    Config settings;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reserveLocked(cardId.deviceId)) {
            return;
        }
        name = "video" + std::to_string(counter_ + 1);
        ++counter_;
        settings = config_;
    }
    if (device == nullptr) {
        TARN_LOG_INFO("device is nullptr, displayCardId is {}", cardId.id);
    }
    auto server = std::make_shared<VideoEcho>(VideoEchoAddr{cardId, std::string()}, name, device,
                                              settings.serverHandle, enabled);
    server->setVideoEchoResolution(settings.width, settings.height);
    server->setVideoEchoBitRate(settings.bitRate);
    server->setVideoEchoFPS(settings.fps);
    server->setVideoEchoTransmissionMode(settings.transmissionMode);
    server->setSplicingRegionsCallBack(settings.splicingRegionsCallBack);
    server->setVideoEchoSourceCallBack(settings.videoEchoSourceCallBack);

    // Re-emitted on the server's thread. The relay holds the manager only while it runs, so a
    // server that outlives the manager emits into nothing.
    auto* relayed = &relayTo;
    StrategySignal::slot_type slot(
        [relayed](const VideoEchoSpliceStrategy& strategy) { (*relayed)(strategy); });
    if (!relayOwner.expired()) {
        slot.track_foreign(relayOwner);
    }
    host::ScopedConnection relay(server->spliceStrategyChanged.connect(slot));

    std::lock_guard<std::mutex> lock(mutex_);
    installLocked(cardId.deviceId, std::move(server), std::move(relay));
}

void CardEchoes::addEcho(const VideoEchoAddr& addr, bool enabled) {
    int handle = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reserveLocked(addr.cardId.deviceId)) {
            return;
        }
        handle = config_.serverHandle;
    }
    auto server = std::make_shared<VideoEcho>(addr, std::string(), nullptr, handle, enabled);
    std::lock_guard<std::mutex> lock(mutex_);
    installLocked(addr.cardId.deviceId, std::move(server), {});
}

void CardEchoes::release() {
    std::vector<Entry> released;  // destroyed after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    released.swap(entries_);
    index_.clear();
}

void VideoEchoMgr::addEcho(const STDisplayCardId& cardId, void* device) {
    if (!impl_->serverEnabled) {
        return;
    }
    impl_->cards.addEcho(cardId, device, true, spliceStrategyChanged, weak_from_this());
}

void VideoEchoMgr::addEcho(const VideoEchoAddr& addr) {
    impl_->cards.addEcho(addr, impl_->serverEnabled);
}

bool VideoEchoMgr::startVideoEchoServer() {
    const int handle = VideoEcho::startVideoEchoServer();
    impl_->cards.configure([handle](CardEchoes::Config& config) { config.serverHandle = handle; });
    return true;
}

bool VideoEchoMgr::stopVideoEchoServer() {
    return VideoEcho::stopVideoEchoServer();
}

std::string VideoEchoMgr::getVideoEchoUrl(const STDisplayCardId& cardId) {
    const auto server = impl_->cards.find(cardId);
    return server ? server->getUrl() : std::string();
}

void VideoEchoMgr::setVideoEchoId(const STDisplayCardId& cardId) {
    const auto server = impl_->cards.find(cardId);
    if (!server) {
        TARN_LOG_WARN("videoEcho is null.");
        return;
    }
    if (server->getUrl() == server->generateRtspAddr(cardId.nodeId)) {
        return;
    }
    server->setVideoEchoSourceCallBack(impl_->cards.config().videoEchoSourceCallBack);
}

bool VideoEchoMgr::createRecordVideo(const STDisplayCardId& cardId) {
    const auto server = impl_->cards.find(cardId);
    if (!server) {
        return false;
    }
    server->createRecordVideo();
    echoAddrChanged(server->getAddr());
    return true;
}

}  // namespace tarn::mediadispatch
