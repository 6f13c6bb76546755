// The lifetime of a segment as the original platform has it: a segment lives while some process
// holds it and disappears with the last holder. POSIX names outlive their holders, so every holder
// keeps a shared flock on its descriptor; whoever can take the exclusive lock is the only holder.
//
// The races that matter and how they are closed:
// - A name can be deleted or replaced between opening it and locking the descriptor (a last holder
//   deleting it, a reclaimer). So every acquirer checks after locking that the name still refers to
//   its file, and otherwise starts over.
// - A file that nobody holds was left by processes that died (or belongs to a creator that has not
//   locked it yet; that creator notices the deletion by the check above). It is deleted instead of
//   being served, so killed writers leave nothing behind once anybody touches the name again.
// - A creator sizes the file after locking it; a holder that finds size 0 treats it as "not there
//   yet" rather than mapping an empty segment.
#pragma once

#include <string>

#include "descriptor.h"

namespace shm::detail {

enum class HoldResult {
    held,      // the descriptor holds the segment under the name
    retry,     // the name changed under us (deleted, replaced, reclaimed): start over
    notReady,  // the creator has not sized it yet
    failed,    // errno says why
};

// Creates the file under an exclusive create; `size` bytes once it is held.
HoldResult createAndHold(const std::string& posix, uint32_t size, Descriptor& out);

// Opens the existing file under the name and becomes one of its holders.
HoldResult openAndHold(const std::string& posix, Descriptor& out);

// Stops holding `fd` and closes it; the last holder deletes the name first.
void letGo(Descriptor& fd, const std::string& posix);

}  // namespace shm::detail
