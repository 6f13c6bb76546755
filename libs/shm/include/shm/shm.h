// Named shared-memory segments: create or open a segment that every process of the machine can open
// by the same name, map it whole, and let go of it. A segment lives while some process holds it and
// disappears with its last holder. The functions take no lock; one ShmId is used by one thread at a
// time. Failures are reported by the result and one printf-style line on stderr, never by throwing.
#pragma once

#include <cstdint>
#include <string>

#include <shm/export.h>

namespace shm {

// A bit set: 1 creates and refuses an existing segment, 2 only opens, 3 creates or joins. Any value
// other than 2 takes the creating path; only exactly 1 refuses an existing segment.
enum class ShmMode : uint32_t {
    create = 1,
    open = 2,
    createOpen = 3,
};

// One acquired segment; allocated by acquire and freed by release. Opaque to its users.
struct ShmId;

// Who may read the segments that a process creates. Their owner alone may write them (nobody else
// can truncate a segment under the processes that map it); every user may read them, or only the
// members of `readerGroup` when it is set (a group the creating user belongs to).
struct ShmAccess {
    int64_t readerGroup = -1;  // a gid, or -1 for every user
};

// Acquires the segment `name` (used as given; POSIX's leading '/' is added here). Only the low 32
// bits of `size` are used, and only when the segment is created; a joined segment keeps its size,
// and its memory is reserved at creation, so that a full /dev/shm fails here (ENOSPC). Mode open
// opens read-only and maps read-only; the other modes open for writing, and such a holder deletes
// the name when it lets go. Returns null on failure with errno set.
SHM_API ShmId* acquire(const std::string& name, uint64_t size, ShmMode mode);
SHM_API ShmId* acquire(const std::string& name, uint64_t size, ShmMode mode,
                       const ShmAccess& access);

// Maps the whole segment (once; later calls return the same view). Stores the mapped size, the
// segment's size rounded up to whole pages, through `size` when it is given.
SHM_API void* get_mem(ShmId* id, uint64_t* size = nullptr);

// Unmaps, lets go of the segment (the last holder deletes it) and frees `id`. 0, or -1 for null.
SHM_API int release(ShmId* id);

// Whether the name of `id` still refers to its segment, i.e. whether a fresh open of the name would
// give this very segment. Costs two system calls and no descriptor, which is what lets a reader
// keep its view between reads instead of paying a fresh mapping's page faults on every copy.
SHM_API bool is_current(const ShmId* id);

// Whether `id` created its segment (rather than joining or opening an existing one).
SHM_API bool was_created(const ShmId* id);

// The descriptor that holds the segment (for locks of the caller's own), or -1.
SHM_API int descriptor_of(const ShmId* id);

// Checks the name only; deletes nothing (a segment goes away with its last holder). 0 or -1.
SHM_API int remove(const std::string& name);

}  // namespace shm
