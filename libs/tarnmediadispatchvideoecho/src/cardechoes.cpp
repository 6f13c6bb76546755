// The echo servers of the display cards: one per card (matched by deviceId), named video1, video2,
// ... in creation order, configured with the settings in force when they are created.
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include <string>
#include <utility>

#include <host/log.h>

#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

bool VideoEchoMgr::Impl::reserveEchoEntryLocked(const std::string& deviceId) {
    if (!echoIndex.emplace(deviceId, echoServers.size()).second) {
        return false;
    }
    echoServers.push_back(EchoServerEntry{deviceId, nullptr, {}});
    return true;
}

VideoEchoMgr::Impl::EchoServerEntry* VideoEchoMgr::Impl::echoEntryLocked(
    const std::string& deviceId) {
    const auto it = echoIndex.find(deviceId);
    return it == echoIndex.end() ? nullptr : &echoServers[it->second];
}

std::shared_ptr<VideoEcho> VideoEchoMgr::Impl::findEchoServer(const STDisplayCardId& cardId) {
    std::lock_guard<std::mutex> lock(echoMutex);
    const auto* entry = echoEntryLocked(cardId.deviceId);
    return entry ? entry->server : nullptr;
}

std::vector<std::shared_ptr<VideoEcho>> VideoEchoMgr::Impl::echoServerSnapshot() {
    std::vector<std::shared_ptr<VideoEcho>> servers;
    std::lock_guard<std::mutex> lock(echoMutex);
    servers.reserve(echoServers.size());
    for (const auto& entry : echoServers) {
        if (entry.server) {
            servers.push_back(entry.server);
        }
    }
    return servers;
}

void VideoEchoMgr::Impl::addEcho(const STDisplayCardId& cardId, void* device, VideoEchoMgr& owner) {
    const bool enabled = serverEnabled.load();
    if (!enabled) {
        return;
    }
    // The check and the reservation are one critical section, so that concurrent calls for a new
    // card create one server; the server itself is built and configured outside the lock.
    std::string name;
    {
        std::lock_guard<std::mutex> lock(echoMutex);
        if (!reserveEchoEntryLocked(cardId.deviceId)) {
            return;
        }
        name = "video" + std::to_string(echoCounter + 1);
        ++echoCounter;
    }
    if (device == nullptr) {
        TARN_LOG_INFO("device is nullptr, displayCardId is {}", cardId.id);
    }
    ServerConfig settings;
    int handle = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        settings = config;
        handle = config.serverHandle;
    }
    auto server = std::make_shared<VideoEcho>(VideoEchoAddr{cardId, std::string()}, name, device,
                                              handle, enabled);
    server->setVideoEchoResolution(settings.width, settings.height);
    server->setVideoEchoBitRate(settings.bitRate);
    server->setVideoEchoFPS(settings.fps);
    server->setVideoEchoTransmissionMode(settings.transmissionMode);
    server->setSplicingRegionsCallBack(settings.splicingRegionsCallBack);
    server->setVideoEchoSourceCallBack(settings.videoEchoSourceCallBack);

    // Re-emitted on the server's thread. The relay holds the manager only while it runs, so a
    // server that outlives the manager emits into nothing.
    auto* relayed = &owner.spliceStrategyChanged;
    using Slot = decltype(server->spliceStrategyChanged)::slot_type;
    Slot slot([relayed](const VideoEchoSpliceStrategy& strategy) { (*relayed)(strategy); });
    const auto weakOwner = owner.weak_from_this();
    if (!weakOwner.expired()) {
        slot.track_foreign(weakOwner);
    }
    host::ScopedConnection relay(server->spliceStrategyChanged.connect(slot));

    std::lock_guard<std::mutex> lock(echoMutex);
    auto* entry = echoEntryLocked(cardId.deviceId);
    if (entry != nullptr && !entry->server) {
        entry->server = std::move(server);
        entry->relay = std::move(relay);
    }
}

void VideoEchoMgr::Impl::addEcho(const VideoEchoAddr& addr) {
    int handle = 0;
    {
        std::lock_guard<std::mutex> lock(echoMutex);
        if (!reserveEchoEntryLocked(addr.cardId.deviceId)) {
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        handle = config.serverHandle;
    }
    auto server =
        std::make_shared<VideoEcho>(addr, std::string(), nullptr, handle, serverEnabled.load());
    std::lock_guard<std::mutex> lock(echoMutex);
    auto* entry = echoEntryLocked(addr.cardId.deviceId);
    if (entry != nullptr && !entry->server) {
        entry->server = std::move(server);
    }
}

void VideoEchoMgr::Impl::releaseEchoServers() {
    std::vector<EchoServerEntry> released;  // destroyed after the lock
    std::lock_guard<std::mutex> lock(echoMutex);
    released.swap(echoServers);
    echoIndex.clear();
}

void VideoEchoMgr::addEcho(const STDisplayCardId& cardId, void* device) {
    impl_->addEcho(cardId, device, *this);
}

void VideoEchoMgr::addEcho(const VideoEchoAddr& addr) {
    impl_->addEcho(addr);
}

std::vector<std::shared_ptr<VideoEcho>> VideoEchoMgr::echoServers() const {
    return impl_->echoServerSnapshot();
}

bool VideoEchoMgr::startVideoEchoServer() {
    const int handle = VideoEcho::startVideoEchoServer();
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    impl_->config.serverHandle = handle;
    return true;
}

bool VideoEchoMgr::stopVideoEchoServer() {
    return VideoEcho::stopVideoEchoServer();
}

std::string VideoEchoMgr::getVideoEchoUrl(const STDisplayCardId& cardId) {
    const auto server = impl_->findEchoServer(cardId);
    return server ? server->getUrl() : std::string();
}

void VideoEchoMgr::setVideoEchoId(const STDisplayCardId& cardId) {
    const auto server = impl_->findEchoServer(cardId);
    if (!server) {
        TARN_LOG_WARN("videoEcho is null.");
        return;
    }
    if (server->getUrl() == server->generateRtspAddr(cardId.nodeId)) {
        return;
    }
    VideoEchoSourceCallBack callback;
    {
        std::lock_guard<std::mutex> lock(impl_->stateMutex);
        callback = impl_->config.videoEchoSourceCallBack;
    }
    server->setVideoEchoSourceCallBack(callback);
}

bool VideoEchoMgr::createRecordVideo(const STDisplayCardId& cardId) {
    const auto server = impl_->findEchoServer(cardId);
    if (!server) {
        return false;
    }
    server->createRecordVideo();
    echoAddrChanged(server->getAddr());
    return true;
}

}  // namespace tarn::mediadispatch
