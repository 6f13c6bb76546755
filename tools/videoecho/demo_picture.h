// The pictures of `demo --machines`: a node sends a moving, stamped pattern into the echo channel
// of the media it plays (its card's server reads the channel back through the source callback and
// streams it), and the main machine plays each node's card through an EchoMedia with a stream
// echo, reading the frame number and send time back from the blocks of every new picture.
// DemoCardWatcher owns its medias and a reading thread; one thread calls its methods.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <host/mediarecords.h>

#include "readstats.h"

namespace tarn::mediadispatch {
class IVideoEchoMgr;
}

namespace videoecho {

// Sends `seconds` of pattern frames at `fps` through the manager's updateFrameData, each with
// its number and send time drawn in blocks; blocks the caller. Returns the frames sent.
uint64_t sendDemoPattern(tarn::mediadispatch::IVideoEchoMgr& mgr, const tarn::MediaInfo& media,
                         int width, int height, double fps, double seconds);

class DemoCardWatcher {
public:
    struct Card {
        std::string card;
        std::string url;
    };
    struct Result {
        Card card;
        uint64_t unique = 0;  // distinct frame numbers read from the stamps
        Percentiles latency;  // getFrame time minus send time, first sight of each frame
        bool png = false;     // whether this card's picture was written
        uint32_t pngFrame = 0;
        double pngLatencyMs = 0;
    };

    explicit DemoCardWatcher(const std::vector<Card>& cards);
    ~DemoCardWatcher();
    DemoCardWatcher(const DemoCardWatcher&) = delete;
    DemoCardWatcher& operator=(const DemoCardWatcher&) = delete;

    // Waits up to `timeoutMs` until every card showed a picture; returns how many did.
    size_t waitFirstPictures(int timeoutMs);
    // Stops reading and playing; writes the newest stamped picture of the first card that has one
    // to `pngPath` (when not empty).
    std::vector<Result> finish(const std::string& pngPath);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace videoecho
