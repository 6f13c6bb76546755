// The record behind shm::ShmId: one held segment and, once get_mem has run, its view.
#pragma once

#include <cstdint>
#include <string>

#include <shm/shm.h>

#include "descriptor.h"
#include "mapping.h"

namespace shm {

struct ShmId {
    // The segment's descriptor. While it is open it carries the shared holder lock that keeps the
    // segment alive (see holderlock.h).
    detail::Descriptor handle;
    detail::Mapping view;
    // The size asked for until get_mem has mapped the segment, then the mapped region's size.
    uint64_t size = 0;
    // With '/', as POSIX wants it; the last holder deletes this name.
    std::string posix;
    // Where the name lives in the file system, for the per-frame check that it is still ours.
    std::string path;
    // Opened for writing (any mode but open). Only such a holder deletes the name when it lets go.
    bool writable = false;
    // This holder created the segment rather than joining an existing one.
    bool created = false;
};

}  // namespace shm
