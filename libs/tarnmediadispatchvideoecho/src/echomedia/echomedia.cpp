// EchoMedia: player choice by echo type, splice sources under infoLock, one-shot black requests.
#include <tarnmediadispatchvideoecho/echomedia.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>

#include <host/log.h>
#include <host/streammediaplayer.h>
#include <tarnmediadispatchvideoecho/recursivesharedmutex.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

namespace vantor::mediadispatch {

IEchoMedia::~IEchoMedia() = default;

struct EchoMedia::Impl {
    RecursiveSharedMutex infoLock;
    // guarded by infoLock (isBlack lives in `black` instead: getPlayers consumes it under the
    // shared lock, so it must be atomic)
    STPlayerInfo playerInfo;
    std::shared_ptr<qv::mediacore::IMediaPlayer> player;  // guarded by infoLock; set once
    EchoType echoType = kEchoTypeSharedMemory;            // guarded by infoLock
    std::shared_ptr<tarn::mediadispatch::ChannelViewSet> channelViews;  // guarded by infoLock
    std::atomic<bool> black{false};

    std::shared_ptr<qv::mediacore::IMediaPlayer> currentPlayer() {
        std::shared_lock<RecursiveSharedMutex> lock(infoLock);
        return player;
    }
};

EchoMedia::EchoMedia(uint64_t id, std::weak_ptr<qv::mediacore::IMeta> meta, EditingMode mode,
                     bool flag)
    : Media(id, std::move(meta), mode, flag), impl_(std::make_unique<Impl>()) {
    impl_->playerInfo.editingMode = mode;
    impl_->playerInfo.mediaFlag = !flag;
    impl_->playerInfo.valid = true;
}

EchoMedia::~EchoMedia() {
    impl_->player.reset();
    impl_->playerInfo = STPlayerInfo();
}

void EchoMedia::setEchoType(EchoType type) {
    std::lock_guard<RecursiveSharedMutex> lock(impl_->infoLock);
    if (!impl_->player) {
        impl_->echoType = type;
    }
}

void EchoMedia::setPlayerInfo(const std::string& source, void* device,
                              const std::string& playerKey) {
    if (impl_->currentPlayer()) {
        return;
    }
    // Created outside the lock: createPlayer may be overridden and may use this object.
    auto created = createPlayer(meta().lock(), source, device);
    std::lock_guard<RecursiveSharedMutex> lock(impl_->infoLock);
    if (impl_->player) {
        return;  // another thread was first
    }
    impl_->player = std::move(created);
    impl_->playerInfo.mediaPlayer = impl_->player;
    impl_->playerInfo.playerKey = playerKey;
}

void EchoMedia::addSpliceSource(const STRectInfo& rect) {
    std::lock_guard<RecursiveSharedMutex> lock(impl_->infoLock);
    auto& sources = impl_->playerInfo.spliceSources;
    const auto found = std::find_if(sources.begin(), sources.end(),
                                    [&](const STRectInfo& s) { return s.id == rect.id; });
    if (found == sources.end()) {
        sources.push_back(rect);
        return;
    }
    found->x = rect.x;
    found->y = rect.y;
    found->width = rect.width;
    found->height = rect.height;
}

void EchoMedia::removeSpliceSource(uint64_t id) {
    std::lock_guard<RecursiveSharedMutex> lock(impl_->infoLock);
    auto& sources = impl_->playerInfo.spliceSources;
    sources.erase(std::remove_if(sources.begin(), sources.end(),
                                 [&](const STRectInfo& s) { return s.id == id; }),
                  sources.end());
}

void EchoMedia::clearSpliceSource() {
    std::lock_guard<RecursiveSharedMutex> lock(impl_->infoLock);
    impl_->playerInfo.spliceSources.clear();
}

void EchoMedia::setChannelViews(std::shared_ptr<tarn::mediadispatch::ChannelViewSet> views) {
    std::unique_lock<RecursiveSharedMutex> lock(impl_->infoLock);
    impl_->channelViews = std::move(views);
}

void EchoMedia::setVideoEchoSendFrameEnabled(bool enabled) {
    std::shared_ptr<qv::mediacore::IMediaPlayer> player;
    EchoType type = kEchoTypeSharedMemory;
    {
        std::shared_lock<RecursiveSharedMutex> lock(impl_->infoLock);
        player = impl_->player;
        type = impl_->echoType;
    }
    if (!player) {
        TARN_LOG_WARN("player is null");
        return;
    }
    if (type != kEchoTypeSharedMemory) {
        return;
    }
    const auto shared = std::dynamic_pointer_cast<SharedMemoryPlayer>(player);
    if (!shared) {
        TARN_LOG_WARN("player is not SharedMemoryPlayer");
        return;
    }
    shared->setVideoEchoSendFrameEnabled(enabled);
}

std::shared_ptr<qv::mediacore::IMediaPlayer> EchoMedia::createPlayer(
    std::shared_ptr<qv::mediacore::IMeta> meta, const std::string& source, void* device) {
    EchoType type = kEchoTypeSharedMemory;
    std::shared_ptr<tarn::mediadispatch::ChannelViewSet> views;
    {
        std::shared_lock<RecursiveSharedMutex> lock(impl_->infoLock);
        type = impl_->echoType;
        views = impl_->channelViews;
    }
    if (type == kEchoTypeSharedMemory) {
        return std::make_shared<SharedMemoryPlayer>(std::move(meta), source, std::move(views));
    }
    return std::make_shared<qv::streammediaplayercore::StreammediaPlayer>(std::move(meta), source,
                                                                          device);
}

int EchoMedia::resType() {
    return kEchoMediaResType;
}

std::vector<STPlayerInfo> EchoMedia::getPlayers(const std::string& key) {
    std::shared_lock<RecursiveSharedMutex> lock(impl_->infoLock);
    STPlayerInfo copy = impl_->playerInfo;
    copy.isBlack = impl_->black.exchange(false);
    if (!key.empty() && key != impl_->playerInfo.playerKey) {
        return {};
    }
    return {copy};
}

bool EchoMedia::play(double) {
    const auto player = impl_->currentPlayer();
    if (!player) {
        TARN_LOG_WARN("player is null");
        return false;
    }
    player->play(0.0, 0.0);
    impl_->black = false;
    return true;
}

void EchoMedia::stop() {
    const auto player = impl_->currentPlayer();
    if (!player) {
        TARN_LOG_WARN("player is null");
        return;
    }
    player->stop(false);
}

void EchoMedia::setBlack() {
    impl_->black = true;
}

}  // namespace vantor::mediadispatch
