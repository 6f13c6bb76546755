// Frame routing and play states: on the source side every dispatched media has a shared-memory
// writer under its echo key that gets the media's frames between play and stop; on the viewer side
// the notifications drive the media's echo media. Both sides tell the bound cards' echo servers.
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include <host/log.h>
#include <tarnmediadispatchvideoecho/echomedia.h>

#include "videoechomgrimpl.h"

namespace tarn::mediadispatch {

using vantor::mediadispatch::EchoMedia;

// The frame path: one key formed on the stack, one lookup through a reused key buffer, one call.
// Nothing is allocated.
void VideoEchoMgr::Impl::updateFrameData(const MediaInfo& info,
                                         const qv::mediacore::IFrame* frame) {
    if (frame == nullptr) {
        return;
    }
    const EchoKey key(info.mediaId, info.editingMode);
    const auto text = key.view();
    std::lock_guard<std::mutex> lock(channelMutex);
    lookupKey.assign(text.data(), text.size());
    const auto found = channels.find(lookupKey);
    if (found != channels.end() && found->second) {
        found->second->updateFrame(frame, 0.0);
    }
}

void VideoEchoMgr::Impl::setEditingMode(EditingMode mode, bool flag) {
    editingMode = mode;
    if (!serverEnabled) {
        return;
    }
    for (const auto& server : echoServerSnapshot()) {
        server->setEditingMode(mode, flag);
    }
}

void VideoEchoMgr::Impl::onMediasAdded(const std::vector<MediaInfo>& medias) {
    for (const auto& media : medias) {
        if (serverEnabled) {
            addSharedMemoryIPCServer(echoKey(media.mediaId, media.editingMode));
        } else {
            addMedia(media);
        }
    }
}

void VideoEchoMgr::Impl::addSharedMemoryIPCServer(const std::string& key) {
    auto writer = std::make_shared<SharedMemoryIPCServer>(key);
    bool inserted = false;
    {
        std::lock_guard<std::mutex> lock(channelMutex);
        inserted = channels.emplace(key, writer).second;
    }
    if (!inserted) {
        TARN_LOG_INFO("The id already exists, no need to create a new one.");
    }
}

void VideoEchoMgr::Impl::onMediaRemoved(uint64_t, uint64_t mediaId, EditingMode mode) {
    const std::string key = echoKey(mediaId, mode);
    if (!serverEnabled) {
        removeMedia(key);
        return;
    }
    std::shared_ptr<SharedMemoryIPCServer> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(channelMutex);
    const auto found = channels.find(key);
    if (found != channels.end()) {
        removed = std::move(found->second);
        channels.erase(found);
    }
}

void VideoEchoMgr::Impl::onMediaPlayStateChanged(const STMediaPlayStateInfo& info) {
    if (!info.notify) {
        return;
    }
    switch (static_cast<int32_t>(info.playState)) {
        case 1:
        case 3:
            onPlaying(info.ownerId, info.mediaId, info.editingMode);
            break;
        case 0:
            onStopped(info.ownerId, info.mediaId, info.editingMode);
            break;
        default:
            TARN_LOG_INFO("check play state!");
            break;
    }
}

std::shared_ptr<SharedMemoryIPCServer> VideoEchoMgr::Impl::writerOf(const std::string& key) {
    std::lock_guard<std::mutex> lock(channelMutex);
    const auto found = channels.find(key);
    return found == channels.end() ? nullptr : found->second;
}

std::shared_ptr<Media> VideoEchoMgr::Impl::echoMediaOf(const std::string& key) {
    std::lock_guard<std::mutex> lock(stateMutex);
    const auto found = echoMedias.find(key);
    return found == echoMedias.end() ? nullptr : found->second.lock();
}

BoundDisplayCardsQueryCallback VideoEchoMgr::Impl::boundCardsQuery() {
    std::lock_guard<std::mutex> lock(stateMutex);
    return boundDisplayCardsQueryCallback;
}

void VideoEchoMgr::Impl::onPlaying(uint64_t ownerId, uint64_t mediaId, EditingMode mode) {
    updateBoundEchoServers(ownerId, mediaId, mode, true);
    const std::string key = echoKey(mediaId, mode);
    if (serverEnabled) {
        // Under channelMutex so that play is ordered with the frames of the writer.
        std::lock_guard<std::mutex> lock(channelMutex);
        const auto found = channels.find(key);
        if (found != channels.end() && found->second) {
            found->second->play(0.0, 0.0);
        }
        return;
    }
    if (const auto media = echoMediaOf(key)) {
        media->play(0.0);
    } else {
        applyToBoundCards(mediaId, mode, BoundAction::Play);
    }
}

void VideoEchoMgr::Impl::onStopped(uint64_t ownerId, uint64_t mediaId, EditingMode mode) {
    updateBoundEchoServers(ownerId, mediaId, mode, false);
    const std::string key = echoKey(mediaId, mode);
    if (serverEnabled) {
        bool stopped = false;
        {
            std::lock_guard<std::mutex> lock(channelMutex);
            const auto found = channels.find(key);
            if (found != channels.end() && found->second) {
                found->second->stop();
                stopped = true;
            }
        }
        if (stopped) {
            TARN_LOG_INFO("VideoEcho media is stop, mediaId:{}, editingMode:{}", mediaId,
                          static_cast<int32_t>(mode));
        }
        return;
    }
    if (const auto media = echoMediaOf(key)) {
        media->stop();
    } else {
        applyToBoundCards(mediaId, mode, BoundAction::Stop);
    }
}

void VideoEchoMgr::Impl::onMediaBlack(uint64_t, uint64_t mediaId, EditingMode mode) {
    if (serverEnabled) {
        return;
    }
    if (const auto media = echoMediaOf(echoKey(mediaId, mode))) {
        media->setBlack();
    } else {
        applyToBoundCards(mediaId, mode, BoundAction::Black);
    }
}

void VideoEchoMgr::Impl::onVideoEchoSendFrameEnabled(uint64_t mediaId, EditingMode mode,
                                                     bool enabled) {
    if (serverEnabled) {
        return;
    }
    const auto media = echoMediaOf(echoKey(mediaId, mode));
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

void VideoEchoMgr::Impl::updateBoundEchoServers(uint64_t ownerId, uint64_t mediaId,
                                                EditingMode mode, bool playing) {
    if (mode != editingMode.load()) {
        return;
    }
    const auto query = boundCardsQuery();
    if (!query) {
        return;
    }
    for (const auto& card : query(mediaId, mode)) {
        if (const auto server = findEchoServer(card)) {
            server->updateSpliceStrategy(ownerId, mediaId, mode, playing);
        }
    }
}

// For a media that has no echo media of the manager's: act on the players of the cards bound to
// it. The player table is filled by no operation of the manager, so this finds entries only where
// a host fills it.
void VideoEchoMgr::Impl::applyToBoundCards(uint64_t mediaId, EditingMode mode, BoundAction action) {
    const auto query = boundCardsQuery();
    if (!query) {
        return;
    }
    for (const auto& card : query(mediaId, mode)) {
        const std::string key = vantor::mediadispatch::cardKey(card);
        std::shared_ptr<qv::mediacore::IMediaPlayer> player;
        {
            std::lock_guard<std::mutex> lock(playerMutex);
            const auto found = players.find(key);
            if (found == players.end()) {
                continue;
            }
            player = found->second.mediaPlayer.lock();
            if (!player) {
                continue;
            }
            if (action == BoundAction::Black) {
                found->second.isBlack = true;
            }
        }
        switch (action) {
            case BoundAction::Play: {
                player->play(0.0, 0.0);
                std::lock_guard<std::mutex> lock(playerMutex);
                const auto found = players.find(key);
                if (found != players.end()) {
                    found->second.isBlack = false;
                }
                break;
            }
            case BoundAction::Stop: {
                const auto server = findEchoServer(card);
                if (server && !server->isEmptyOnSpliceSource(editingMode.load())) {
                    break;
                }
                player->stop(false);
                break;
            }
            case BoundAction::Black:
                break;
        }
    }
}

}  // namespace tarn::mediadispatch
