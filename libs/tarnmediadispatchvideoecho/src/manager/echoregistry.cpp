// The address and splice-strategy registry: queries answered from the echo servers, updates that
// create a server for a remote address, hand a strategy to a card's server or record an address.
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include <algorithm>

#include <host/log.h>

#include "echoregistry.h"
#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

std::vector<VideoEchoAddr> VideoEchoMgr::getAllVideoEchoAddr() {
    std::vector<VideoEchoAddr> addrs;
    for (const auto& server : impl_->cards.snapshot()) {
        addrs.push_back(server->getAddr());
    }
    return addrs;
}

std::vector<VideoEchoAddr> VideoEchoMgr::getLocalAllVideoEchoAddr() {
    return getAllVideoEchoAddr();
}

std::vector<VideoEchoSpliceStrategy> VideoEchoMgr::getAllEchoSpliceStrategies() {
    std::vector<VideoEchoSpliceStrategy> strategies;
    for (const auto& server : impl_->cards.snapshot()) {
        strategies.push_back(server->getSpliceStrategy());
    }
    return strategies;
}

std::vector<VideoEchoSpliceStrategy> VideoEchoMgr::getLocalEchoSpliceStrategies() {
    return getAllEchoSpliceStrategies();
}

std::vector<EchoInfo> VideoEchoMgr::getAllEchoInfo() {
    std::vector<EchoInfo> infos;
    for (const auto& server : impl_->cards.snapshot()) {
        EchoInfo info;
        info.addr = server->getAddr();
        info.strategy = server->getSpliceStrategy();
        infos.push_back(std::move(info));
    }
    return infos;
}

void VideoEchoMgr::AddMedia(const VideoEchoAddr&) {}

void VideoEchoMgr::setVideoEchoAddr(const VideoEchoAddr& addr) {
    impl_->registry.setVideoEchoAddr(addr);
}

void EchoRegistry::setVideoEchoAddr(const VideoEchoAddr& addr) {
    // Keyed like sameAddr (device and URL), so that recording an address does not scan them all.
    std::lock_guard<std::mutex> lock(mutex_);
    if (knownAddrKeys_.emplace(addr.cardId.deviceId, addr.url).second) {
        knownAddrs_.push_back(addr);
    }
}

std::shared_ptr<qv::mediacore::IMediaPlayer> EchoRegistry::livePlayer(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = players_.find(key);
    return found == players_.end() ? nullptr : found->second.mediaPlayer.lock();
}

void EchoRegistry::setBlack(const std::string& key, bool black) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = players_.find(key);
    if (found != players_.end()) {
        found->second.isBlack = black;
    }
}

void VideoEchoMgr::setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy& strategy) {
    if (const auto server = impl_->cards.find(strategy.addr.cardId)) {
        server->synchronizeSpliceStrategy(strategy);
    }
}

void VideoEchoMgr::setVideoEchoSpliceStrategies(
    const std::vector<VideoEchoSpliceStrategy>& strategies) {
    for (const auto& strategy : strategies) {
        setVideoEchoSpliceStrategy(strategy);
    }
}

void VideoEchoMgr::updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy) {
    impl_->registry.updateSpliceStrategy(strategy);
}

// A media shows in at most one player: each region first takes its media out of every player,
// then lands in the player of the strategy's card.
void EchoRegistry::updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy) {
    const std::string key = vantor::mediadispatch::cardKey(strategy.addr.cardId);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto entry = players_.find(key);
        if (entry != players_.end()) {
            entry->second.spliceSources.clear();
            for (const auto& region : strategy.regions) {
                for (auto& player : players_) {
                    auto& sources = player.second.spliceSources;
                    sources.erase(std::remove_if(sources.begin(), sources.end(),
                                                 [&](const vantor::STRectInfo& rect) {
                                                     return rect.id == region.mediaId;
                                                 }),
                                  sources.end());
                }
                entry->second.spliceSources.push_back(
                    vantor::STRectInfo{region.mediaId, region.rect.x, region.rect.y,
                                       region.rect.width, region.rect.height});
            }
            return;
        }
    }
    TARN_LOG_INFO("device {}, split stratery update failed!", strategy.addr.cardId.deviceId);
}

}  // namespace tarn::mediadispatch
