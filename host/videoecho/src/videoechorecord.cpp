// What every build of the echo server shares: the card's address, its splice regions and the
// strategy signal, and the record of what the server was given.
#include <host/videoecho.h>

#include <algorithm>

namespace tarn::mediadispatch {

void VideoEcho::setSplicingRegionsCallBack(const SplicingRegionsCallBack& callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    splicingRegions_ = callback;
    settings_.hasSplicingRegionsCallBack = static_cast<bool>(callback);
}

void VideoEcho::addSplicingSource(uint64_t ownerId, uint64_t mediaId) {
    changeRegions([&](std::vector<SpliceRegion>& regions) {
        for (const auto& region : regions) {
            if (region.mediaId == mediaId) {
                return false;
            }
        }
        regions.push_back(SpliceRegion{ownerId, mediaId, RegionRect{0, 0, 1, 1}});
        return true;
    });
}

void VideoEcho::removeSplicingSource(uint64_t, uint64_t mediaId) {
    changeRegions([&](std::vector<SpliceRegion>& regions) {
        const auto before = regions.size();
        regions.erase(std::remove_if(regions.begin(), regions.end(),
                                     [&](const SpliceRegion& r) { return r.mediaId == mediaId; }),
                      regions.end());
        return regions.size() != before;
    });
}

VideoEchoAddr VideoEcho::getAddr() {
    const std::string url = getUrl();
    std::lock_guard<std::mutex> lock(mutex_);
    return VideoEchoAddr{addr_.cardId, url};
}

void VideoEcho::synchronizeSpliceStrategy(const VideoEchoSpliceStrategy& strategy) {
    changeRegions([&](std::vector<SpliceRegion>& regions) {
        const bool same = regions.size() == strategy.regions.size() &&
                          std::equal(regions.begin(), regions.end(), strategy.regions.begin(),
                                     [](const SpliceRegion& a, const SpliceRegion& b) {
                                         return a.ownerId == b.ownerId && a.mediaId == b.mediaId &&
                                                a.rect.x == b.rect.x && a.rect.y == b.rect.y &&
                                                a.rect.width == b.rect.width &&
                                                a.rect.height == b.rect.height;
                                     });
        if (same) {
            return false;
        }
        regions = strategy.regions;
        return true;
    });
}

void VideoEcho::synchronizeSpliceStrategy(vantor::EditingMode) {
    const auto strategy = getSpliceStrategy();
    spliceStrategyChanged(strategy);
}

bool VideoEcho::isEmptyOnSpliceSource(vantor::EditingMode) {
    std::lock_guard<std::mutex> lock(mutex_);
    return regions_.empty();
}

void VideoEcho::setEditingMode(vantor::EditingMode mode, bool flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.editingMode = mode;
    settings_.editingFlag = flag;
}

STDisplayCardId VideoEcho::displayCardId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return addr_.cardId;
}

VideoEchoSpliceStrategy VideoEcho::getSpliceStrategy() {
    const VideoEchoAddr addr = getAddr();
    std::lock_guard<std::mutex> lock(mutex_);
    return VideoEchoSpliceStrategy{addr, regions_};
}

void VideoEcho::updateSpliceStrategy(uint64_t ownerId, uint64_t mediaId, vantor::EditingMode,
                                     bool playing) {
    if (playing) {
        addSplicingSource(ownerId, mediaId);
    } else {
        removeSplicingSource(ownerId, mediaId);
    }
}

VideoEcho::Settings VideoEcho::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

void VideoEcho::changeRegions(const std::function<bool(std::vector<SpliceRegion>&)>& change) {
    SplicingRegionsCallBack callback;
    std::vector<vantor::SplicingSource> sources;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = change(regions_);
        if (changed && splicingRegions_) {
            callback = splicingRegions_;
            for (const auto& region : regions_) {
                sources.push_back(vantor::SplicingSource{region.mediaId, region.rect.x,
                                                         region.rect.y, region.rect.width,
                                                         region.rect.height});
            }
        }
    }
    if (!changed) {
        return;
    }
    if (callback) {
        callback(0, sources);
    }
    spliceStrategyChanged(getSpliceStrategy());
}

}  // namespace tarn::mediadispatch
