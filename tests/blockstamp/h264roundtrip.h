// Sends pictures through x264 at the echo server's low-latency settings and decodes them again
// with GStreamer (appsrc ! videoconvert ! x264enc ! avdec_h264 ! videoconvert ! appsink).
// One call runs one pipeline to its end; any thread.
#pragma once

#include <string>
#include <vector>

#include "pictures.h"

namespace blockstamptest {

// Returns the decoded pictures (I420, in order), or throws with GStreamer's error.
std::vector<Picture> throughH264(const std::vector<Picture>& pictures, int fps, int kbitPerSecond);

}  // namespace blockstamptest
