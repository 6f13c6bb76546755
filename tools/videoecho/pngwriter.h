// Writes a frame read from a channel as an 8-bit RGB PNG: swscale converts from the frame's pixel
// format (an FFmpeg code), libpng encodes. The frame is checked against its format first, so a
// hostile header cannot make the conversion read outside the planes. Throws RunError on failure.
#pragma once

#include <string>

#include "pattern.h"

namespace videoecho {

void writePng(const FrameView& frame, const std::string& path);

}  // namespace videoecho
