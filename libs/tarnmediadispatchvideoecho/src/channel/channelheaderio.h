// Reading and writing the channel header in shared memory (layout in shmframeheader.h).
//
// Another process may rewrite the header at any moment. The reader therefore takes one snapshot,
// each 32-bit field loaded exactly once, and makes every later decision on that snapshot; a
// compiler may not re-read a validated field from the segment, so a header that changes under the
// reader can only yield a mix of two headers, each field of which is checked before use. Both sides
// access the fields as relaxed atomics, which keeps writer and reader well-defined even when they
// live in one process.
#pragma once

#include <tarnmediadispatchvideoecho/shmframeheader.h>

namespace tarn::mediadispatch::channel {

// `segment` is the start of the mapped view (page-aligned, at least 48 bytes).
ShmFrameHeader readHeader(const void* segment);
void writeHeader(void* segment, const ShmFrameHeader& header);

}  // namespace tarn::mediadispatch::channel
