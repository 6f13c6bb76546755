// The lock that marks a process as a holder of a segment: a shared flock on its descriptor. The
// kernel drops it when the descriptor is closed or the process dies, which is what makes a segment
// of a killed process recognisable as abandoned.
#pragma once

namespace shm::detail {

// Blocks until the shared lock is held (an exclusive holder keeps it only for a few system calls).
bool lockShared(int fd);

// Takes the exclusive lock if nobody else holds the descriptor's file. On Linux a failed attempt
// that started from a shared lock leaves no lock at all (the conversion drops the old lock first),
// so a caller that wants to stay a holder must call lockShared again.
bool tryLockExclusive(int fd);

}  // namespace shm::detail
