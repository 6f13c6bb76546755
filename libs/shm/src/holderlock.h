// The lock that marks a process as a holder of a segment: a shared flock on its descriptor. The
// kernel drops it when the descriptor is closed or the process dies, which is what makes a segment
// of a killed process recognisable as abandoned.
//
// flock needs no write access, so any local user who can open a segment can hold its lock
// exclusively for as long as they like. No call here therefore ever blocks: a lock that stays
// taken after a few short pauses is a failure (EWOULDBLOCK), never a wait.
#pragma once

namespace shm::detail {

// Takes the shared lock, retrying a few times with growing pauses (a few milliseconds in all)
// while somebody holds it exclusively, which our own releasers and openers do only for a few
// system calls. false with errno set (EWOULDBLOCK when it stayed taken).
bool lockShared(int fd);

// Takes the exclusive lock if nobody else holds the descriptor's file. On Linux a failed attempt
// that started from a shared lock leaves no lock at all (the conversion drops the old lock first),
// so a caller that wants to stay a holder must call lockShared again.
bool tryLockExclusive(int fd);

}  // namespace shm::detail
