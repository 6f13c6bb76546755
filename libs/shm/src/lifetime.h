// The lifetime of a segment. POSIX names outlive their holders, so every holder keeps a shared
// flock on its descriptor; whoever can take the exclusive lock is the only holder.
//
// Who deletes a name: only the side that created (or joined for writing) the segment, when it lets
// go, and only while the name still refers to its own file. Readers never delete anything: a
// reader that keeps a view of a deleted segment still reads valid memory (the kernel keeps an
// unlinked file alive while it is mapped), and notices the deletion through the link count of its
// descriptor. A segment whose writer was killed stays until a writer that can prove it abandoned
// reclaims it (see abandoned.h); an opener treats such an unheld segment as absent.
//
// The races that matter and how they are closed:
// - A name can be deleted or replaced between opening it and locking the descriptor (a releasing
//   creator, a reclaimer). So every acquirer checks after locking that the name still refers to
//   its file, and otherwise starts over.
// - A creator sizes the file after locking it; a holder that finds size 0 treats it as "not there
//   yet" rather than mapping an empty segment.
#pragma once

#include <string>

#include "descriptor.h"
#include "segmentname.h"

namespace shm::detail {

enum class HoldResult {
    held,      // the descriptor holds the segment under the name
    retry,     // the name changed under us (deleted, replaced, reclaimed): start over
    notReady,  // the creator has not sized it yet
    failed,    // errno says why
};

// Creates the file under an exclusive create and reserves `size` bytes of memory for it, so that
// a full /dev/shm is an error here (ENOSPC) and not a SIGBUS at the first write.
HoldResult createAndHold(const std::string& posix, uint32_t size, const CreatorAccess& access,
                         Descriptor& out);

// Opens the existing file under the name (read-only unless `writable`) and becomes one of its
// holders. A file that nobody holds belongs to processes that died; an opener that only reads
// (`writable` false) treats it as absent (ENOENT), a joiner joins it.
HoldResult openAndHold(const std::string& posix, bool writable, Descriptor& out);

// Stops holding `fd` and closes it; with `removeName` it deletes the name first if the name still
// refers to this file.
void letGo(Descriptor& fd, const std::string& posix, bool removeName);

}  // namespace shm::detail
