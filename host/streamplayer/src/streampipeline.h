// One connection to an RTSP stream: rtspsrc (no jitter buffering) -> H.264 depayloader -> parser
// -> decoder -> conversion to planar 4:2:0 -> appsink that keeps only the newest picture, which
// is copied into a LatestFrame on GStreamer's streaming thread. Owned by the session's worker
// thread, which alone calls its members; the destructor stops the pipeline and may wait for the
// network, which is why no host thread ever owns one.
#pragma once

#include <chrono>
#include <string>

#include "latestframe.h"

typedef struct _GstElement GstElement;

namespace qv::streammediaplayercore {

class StreamPipeline {
public:
    enum class Event { none, error, ended };

    // Builds and starts the pipeline; on failure valid() is false and error() says why.
    StreamPipeline(const std::string& url, LatestFrame& frames);
    ~StreamPipeline();
    StreamPipeline(const StreamPipeline&) = delete;
    StreamPipeline& operator=(const StreamPipeline&) = delete;

    bool valid() const { return pipeline_ != nullptr; }
    // True when the pipeline cannot be built on this machine at all (a missing element), so
    // trying again cannot help.
    bool unbuildable() const { return unbuildable_; }
    const std::string& error() const { return error_; }

    // Waits up to `timeout` for an error or end of stream on the pipeline's bus.
    Event waitForEvent(std::chrono::milliseconds timeout);

private:
    GstElement* pipeline_ = nullptr;
    std::string error_;
    bool unbuildable_ = false;
};

// Makes sure GStreamer is initialised once per process; false (with the reason) if it cannot be.
bool initGStreamer(std::string& error);

// True for rtsp:// and its transport variants with a host part.
bool isRtspUrl(const std::string& url);

}  // namespace qv::streammediaplayercore
