// The echo servers of the display cards and the settings new ones are created with. Owned by the
// manager's Impl; every operation may be called from any thread. No host object or callback is
// called under the lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <host/signal.h>
#include <host/videoecho.h>

namespace tarn::mediadispatch {

class CardEchoes {
public:
    // What a new echo server of a display card is configured with.
    struct Config {
        float width = 1920.0F;
        float height = 1080.0F;
        bool transmissionMode = false;
        float bitRate = 2097152.0F;
        float fps = 30.0F;
        int serverHandle = 0;
        SplicingRegionsCallBack splicingRegionsCallBack;
        VideoEchoSourceCallBack videoEchoSourceCallBack;
    };
    using StrategySignal = host::Signal<const VideoEchoSpliceStrategy&>;

    // Creates the server of a local card once (named video1, video2, ... in creation order); its
    // strategy changes are re-emitted on `relay` while `relayOwner` lives.
    void addEcho(const STDisplayCardId& cardId, void* device, bool enabled, StrategySignal& relay,
                 const std::weak_ptr<void>& relayOwner);
    // Creates the server of a remote card's address once.
    void addEcho(const VideoEchoAddr& addr, bool enabled);
    std::shared_ptr<VideoEcho> find(const STDisplayCardId& cardId);
    // The servers in creation order.
    std::vector<std::shared_ptr<VideoEcho>> snapshot();
    void release();

    // Runs `change` on the settings under the lock; it must call nothing outside.
    template <typename Change>
    void configure(Change&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(config_);
    }
    Config config();

private:
    // `server` is null while the server is being created outside the lock; the entry already
    // reserves the card so that it gets one server.
    struct Entry {
        std::string deviceId;
        std::shared_ptr<VideoEcho> server;
        host::ScopedConnection relay;  // server's strategy signal -> the manager's
    };

    bool reserveLocked(const std::string& deviceId);
    void installLocked(const std::string& deviceId, std::shared_ptr<VideoEcho> server,
                       host::ScopedConnection relay);

    std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_
    // guarded by mutex_; deviceId -> position in entries_, so that a lookup (one per record of a
    // request from the network) does not scan every card
    std::unordered_map<std::string, std::size_t> index_;
    int counter_ = 0;  // guarded by mutex_
    Config config_;    // guarded by mutex_
};

}  // namespace tarn::mediadispatch
