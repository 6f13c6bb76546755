// The host's streaming echo server of one display card: serves the card's picture behind a URL and
// keeps the card's address and splice strategy. This host layer's version keeps what it is given,
// generates its URL from the card, and emits `spliceStrategyChanged` whenever its strategy changes
// (outside its own lock, on the calling thread). All operations are thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <echorecords/echorecords.h>
#include <host/signal.h>

namespace tarn::mediadispatch {

using SplicingRegionsCallBack =
    std::function<void(uint64_t, const std::vector<vantor::SplicingSource>&)>;
using VideoEchoSourceCallBack = std::function<void**(const uint64_t&, void**)>;

class VideoEcho {
public:
    host::Signal<const VideoEchoSpliceStrategy&> spliceStrategyChanged;

    VideoEcho(const VideoEchoAddr& addr, const std::string& name, void* device, int serverHandle,
              bool serverEnabled);
    virtual ~VideoEcho();
    VideoEcho(const VideoEcho&) = delete;
    VideoEcho& operator=(const VideoEcho&) = delete;

    virtual void setSplicingRegionsCallBack(const SplicingRegionsCallBack& callback);
    virtual void setVideoEchoSourceCallBack(const VideoEchoSourceCallBack& callback);
    virtual void addSplicingSource(uint64_t ownerId, uint64_t mediaId);
    virtual void removeSplicingSource(uint64_t ownerId, uint64_t mediaId);
    virtual std::string getUrl();
    virtual void setVideoEchoResolution(float width, float height);
    virtual void setVideoEchoTransmissionMode(bool mode);
    virtual void setVideoEchoFPS(float fps);
    virtual void setVideoEchoBitRate(float bitRate);
    virtual std::string generateRtspAddr(const std::string& nodeId) const;
    virtual bool createRecordVideo();
    virtual VideoEchoAddr getAddr();
    virtual void synchronizeSpliceStrategy(const VideoEchoSpliceStrategy& strategy);
    virtual void synchronizeSpliceStrategy(vantor::EditingMode mode);
    virtual bool isEmptyOnSpliceSource(vantor::EditingMode mode);
    virtual void setEditingMode(vantor::EditingMode mode, bool flag);
    virtual STDisplayCardId displayCardId();
    virtual VideoEchoSpliceStrategy getSpliceStrategy();
    virtual void updateSpliceStrategy(uint64_t ownerId, uint64_t mediaId, vantor::EditingMode mode,
                                      bool playing);

    // The shared machinery of all servers of the process: start returns a handle (> 0) that later
    // servers are constructed with; stop returns whether it was running.
    static int startVideoEchoServer();
    static bool stopVideoEchoServer();

    // What the server was given, for the host's own views and for tests.
    struct Settings {
        std::string name;
        void* device = nullptr;
        int serverHandle = 0;
        bool serverEnabled = false;
        float width = 0, height = 0, fps = 0, bitRate = 0;
        bool transmissionMode = false;
        bool recording = false;
        vantor::EditingMode editingMode = vantor::kEditingModeNone;
        bool editingFlag = false;
        bool hasSplicingRegionsCallBack = false;
        bool hasVideoEchoSourceCallBack = false;
        int sourceCallBackUpdates = 0;
    };
    Settings settings() const;

private:
    // Replaces the regions under the lock; emits outside it when they changed.
    void changeRegions(const std::function<bool(std::vector<SpliceRegion>&)>& change);

    mutable std::mutex mutex_;
    VideoEchoAddr addr_;                       // guarded by mutex_
    std::vector<SpliceRegion> regions_;        // guarded by mutex_
    Settings settings_;                        // guarded by mutex_
    SplicingRegionsCallBack splicingRegions_;  // guarded by mutex_
    VideoEchoSourceCallBack videoEchoSource_;  // guarded by mutex_
};

}  // namespace tarn::mediadispatch
