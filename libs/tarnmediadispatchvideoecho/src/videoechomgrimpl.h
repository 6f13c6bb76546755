// The private state of VideoEchoMgr and the operations behind its public interface and its dispatch
// slots. Lock rules: the four mutexes below are never held two at a time, and none is held while a
// host object (media manager, media, echo server, dispatch signal) or a callback is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <host/idispatch.h>
#include <host/imediamgr.h>
#include <host/iqvruntime.h>
#include <host/media.h>
#include <host/signal.h>
#include <host/videoecho.h>
#include <tarnmediadispatchvideoecho/channelviewset.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

namespace tarn::mediadispatch {

using vantor::STPlayerInfo;
using vantor::mediadispatch::Media;

struct VideoEchoMgr::Impl {
    // One echo server with the card it was created for. `server` is null while the server is being
    // created outside echoMutex; the entry already reserves the card so that it gets one server.
    struct EchoServerEntry {
        std::string deviceId;
        std::shared_ptr<VideoEcho> server;
        host::ScopedConnection
            relay;  // server's strategy signal -> manager's spliceStrategyChanged
    };

    // A dispatch and the five connections made to it; the connections end with the entry.
    struct DispatchLink {
        std::weak_ptr<IDispatch> dispatch;
        std::vector<host::ScopedConnection> connections;
    };

    // What a new echo server of a display card is configured with.
    struct ServerConfig {
        float width = 1920.0F;
        float height = 1080.0F;
        bool transmissionMode = false;
        float bitRate = 2097152.0F;
        float fps = 30.0F;
        int serverHandle = 0;
        SplicingRegionsCallBack splicingRegionsCallBack;
        VideoEchoSourceCallBack videoEchoSourceCallBack;
    };

    Impl();

    // --- echo servers of the display cards ---
    std::shared_ptr<VideoEcho> findEchoServer(const STDisplayCardId& cardId);
    std::vector<std::shared_ptr<VideoEcho>> echoServerSnapshot();
    void addEcho(const STDisplayCardId& cardId, void* device, VideoEchoMgr& owner);
    void addEcho(const VideoEchoAddr& addr);
    void releaseEchoServers();
    // Reserves the entry of a new card; false if the card has one. Under echoMutex.
    bool reserveEchoEntryLocked(const std::string& deviceId);
    // The entry of a card, or null. Under echoMutex.
    EchoServerEntry* echoEntryLocked(const std::string& deviceId);

    // --- registry ---
    void setVideoEchoAddr(const VideoEchoAddr& addr);
    void updateSpliceStrategy(const VideoEchoSpliceStrategy& strategy);

    // --- dispatch wiring ---
    static void addDispatch(const std::shared_ptr<Impl>& self, std::weak_ptr<IDispatch> dispatch);
    void disconnectDispatches(bool forget);

    // --- frame routing and play states ---
    void updateFrameData(const MediaInfo& info, const qv::mediacore::IFrame* frame);
    void setEditingMode(EditingMode mode, bool flag);
    void onMediasAdded(const std::vector<MediaInfo>& medias);
    void onMediaRemoved(uint64_t ownerId, uint64_t mediaId, EditingMode mode);
    void onMediaBlack(uint64_t ownerId, uint64_t mediaId, EditingMode mode);
    void onMediaPlayStateChanged(const STMediaPlayStateInfo& info);
    void onVideoEchoSendFrameEnabled(uint64_t mediaId, EditingMode mode, bool enabled);
    void addSharedMemoryIPCServer(const std::string& key);
    void onPlaying(uint64_t ownerId, uint64_t mediaId, EditingMode mode);
    void onStopped(uint64_t ownerId, uint64_t mediaId, EditingMode mode);
    void updateBoundEchoServers(uint64_t ownerId, uint64_t mediaId, EditingMode mode, bool playing);
    enum class BoundAction { Play, Stop, Black };
    void applyToBoundCards(uint64_t mediaId, EditingMode mode, BoundAction action);
    std::shared_ptr<SharedMemoryIPCServer> writerOf(const std::string& key);
    std::shared_ptr<Media> echoMediaOf(const std::string& key);
    BoundDisplayCardsQueryCallback boundCardsQuery();

    // --- echo media registration (viewer side) ---
    void onDeviceReady(const STDisplayCardInfo& info);
    void addMedia(const MediaInfo& media);
    void removeMedia(const std::string& key);

    std::mutex echoMutex;
    std::vector<EchoServerEntry> echoServers;  // guarded by echoMutex
    // guarded by echoMutex; deviceId -> position in echoServers, so that a lookup (one per record
    // of a request from the network) does not scan every card
    std::unordered_map<std::string, std::size_t> echoIndex;
    int echoCounter = 0;  // guarded by echoMutex

    std::mutex channelMutex;
    // guarded by channelMutex
    std::unordered_map<std::string, std::shared_ptr<SharedMemoryIPCServer>> channels;
    // guarded by channelMutex; the frame path copies its key here so that a lookup allocates
    // nothing
    std::string lookupKey;

    std::mutex playerMutex;
    std::map<std::string, STPlayerInfo> players;  // guarded by playerMutex

    std::mutex stateMutex;
    std::map<std::string, std::weak_ptr<Media>> echoMedias;         // guarded by stateMutex
    BoundDisplayCardsQueryCallback boundDisplayCardsQueryCallback;  // guarded by stateMutex
    DisplayCardsQueryCallback displayCardsQueryCallback;            // guarded by stateMutex
    DeviceQueryCallback deviceQueryCallback;                        // guarded by stateMutex
    CreateMetaCallBack createMetaCallBack;                          // guarded by stateMutex
    std::vector<DispatchLink> dispatches;                           // guarded by stateMutex
    ServerConfig config;                                            // guarded by stateMutex
    std::vector<STDisplayCardInfo> displayCards;                    // guarded by stateMutex
    std::vector<VideoEchoAddr> knownAddrs;                          // guarded by stateMutex
    std::set<std::pair<std::string, std::string>> knownAddrKeys;    // guarded by stateMutex

    // The channel views that the players of all this manager's echo media share.
    const std::shared_ptr<tarn::mediadispatch::ChannelViewSet> channelViews =
        std::make_shared<tarn::mediadispatch::ChannelViewSet>();
    std::atomic<bool> serverEnabled{true};
    std::atomic<EditingMode> editingMode{vantor::kEditingModeDefault};
    std::atomic<vantor::IQVRuntime*> qvRuntime{nullptr};  // not owned
    std::atomic<vantor::IMediaMgr*> mediaMgr{nullptr};    // not owned
};

}  // namespace tarn::mediadispatch
