// The host's streaming echo server of one display card: serves the card's picture behind an RTSP
// URL and keeps the card's address and splice strategy; it emits `spliceStrategyChanged` whenever
// its strategy changes (outside its own lock, on the calling thread). Owned by the echo manager
// through a shared_ptr; all operations are thread-safe. Two builds implement it: `host_videoecho`
// (a real server on gst-rtsp-server) and `host_videoecho_standin` (keeps what it is given, serves
// nothing).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <echorecords/echorecords.h>
#include <host/iframe.h>
#include <host/signal.h>

namespace tarn::mediadispatch {

// What the source callback (`VideoEchoSourceCallBack`) is asked and what it answers. The server
// calls it on its composing thread, up to four times per card frame interval, as
// `callback(mediaId, slot)` for each region of the card, where `*slot` points at a
// `VideoEchoSourceFrame` owned by the server (one per region, reused from call to call):
// - it returns `slot` when the media has a picture: `frame` then describes it (width, height,
//   `format` as an AVPixelFormat code, plane pointers and line sizes in `frame->kframe()`; the
//   planes may point at memory of the callback's own that stays valid until its next call with this
//   slot), and `sequence` is a number that changes whenever the picture is a new one;
// - it returns nullptr when the media has no picture (never played, stopped, its channel gone): the
//   region is shown black.
// The server composes and sends a card frame when some region's sequence changed (at most at the
// card's frame rate), and repeats the last picture once per frame interval while nothing changes.
struct VideoEchoSourceFrame {
    qv::mediacore::IFrame* frame = nullptr;
    uint64_t sequence = 0;
};

// Where and how the process's RTSP server listens; set before the first start, read by it.
struct VideoEchoServerOptions {
    std::string bindAddress = "0.0.0.0";
    // The host name or address put into URLs; empty = the IPv4 of the default-route interface
    // (127.0.0.1, with a warning, when there is none).
    std::string advertisedHost;
    int port = 8554;   // 0 = any free port
    std::string user;  // both non-empty = clients must authenticate (HTTP basic)
    std::string password;
    // The H.264 encoder element; x264enc (GPL) runs at ultrafast/zerolatency, openh264enc is the
    // BSD-licensed alternative; any other element is used with its own defaults.
    std::string encoder = "x264enc";
};

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
    // The options of later starts (the host's own configuration; the library never calls it).
    static void setServerOptions(const VideoEchoServerOptions& options);

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

    // The build's streaming part (null in the stand-in and for remote addresses); set once in the
    // constructor.
    struct Stream;
    std::shared_ptr<Stream> stream_;
};

}  // namespace tarn::mediadispatch
