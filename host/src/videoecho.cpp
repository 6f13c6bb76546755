#include <host/videoecho.h>

#include <algorithm>

namespace tarn::mediadispatch {

namespace {

// The process-wide stream machinery of the echo servers: a handle that is non-zero while it runs.
std::atomic<int>& serverMachineryHandle() {
    static std::atomic<int> handle{0};
    return handle;
}

std::atomic<int>& serverMachineryStarts() {
    static std::atomic<int> starts{0};
    return starts;
}

}  // namespace

VideoEcho::VideoEcho(const VideoEchoAddr& addr, const std::string& name, void* device,
                     int serverHandle, bool serverEnabled)
    : addr_(addr) {
    settings_.name = name;
    settings_.device = device;
    settings_.serverHandle = serverHandle;
    settings_.serverEnabled = serverEnabled;
}

VideoEcho::~VideoEcho() = default;

void VideoEcho::setSplicingRegionsCallBack(const SplicingRegionsCallBack& callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    splicingRegions_ = callback;
    settings_.hasSplicingRegionsCallBack = static_cast<bool>(callback);
}

void VideoEcho::setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    videoEchoSource_ = callback;
    settings_.hasVideoEchoSourceCallBack = static_cast<bool>(callback);
    ++settings_.sourceCallBackUpdates;
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

std::string VideoEcho::getUrl() {
    std::lock_guard<std::mutex> lock(mutex_);
    return addr_.url.empty() ? "rtsp://" + addr_.cardId.nodeId + "/echo/" + addr_.cardId.deviceId
                             : addr_.url;
}

void VideoEcho::setVideoEchoResolution(float width, float height) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.width = width;
    settings_.height = height;
}

void VideoEcho::setVideoEchoTransmissionMode(bool mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.transmissionMode = mode;
}

void VideoEcho::setVideoEchoFPS(float fps) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.fps = fps;
}

void VideoEcho::setVideoEchoBitRate(float bitRate) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.bitRate = bitRate;
}

std::string VideoEcho::generateRtspAddr(const std::string& nodeId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return "rtsp://" + nodeId + "/echo/" + addr_.cardId.deviceId;
}

bool VideoEcho::createRecordVideo() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!settings_.serverEnabled) {
        return false;
    }
    if (addr_.url.empty()) {
        addr_.url = "rtsp://" + addr_.cardId.nodeId + "/echo/" + addr_.cardId.deviceId;
    }
    settings_.recording = true;
    return true;
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

int VideoEcho::startVideoEchoServer() {
    const int handle = ++serverMachineryStarts();
    serverMachineryHandle() = handle;
    return handle;
}

bool VideoEcho::stopVideoEchoServer() {
    return serverMachineryHandle().exchange(0) != 0;
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
