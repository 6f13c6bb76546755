// The guard of a frame channel: a small companion segment beside the channel's own, named by the
// channel's name plus kGuardSuffix (echo keys are digits only, so the suffix can never be a key;
// channel names ending in it are reserved). The channel segment keeps its fixed layout; frames may
// fill it to its last byte, so nothing of the guard lives inside it.
//
// Guard layout (little-endian, at offset 0 of the guard segment):
//   magic u64 | version u32 | layoutBytes u32 | sequence u64 | monotonicNs i64 | realtimeNs i64 |
//   writerPid i32 | reserved u32 | writerStartTicks u64 | channelDevice u64 | channelInode u64
// sequence is a seqlock: odd while the writer writes a frame, even when a frame is complete;
// sequence / 2 counts the frames committed. The two clocks are the writer's at the last commit.
// The writer's identity is its open-file-description write lock on byte 0 of the guard (dropped
// by the kernel when the writer dies, kept while it is merely paused); pid and start time say who
// it was, and the channel's device and inode say which segment the guard vouches for.
//
// Only the writer stores into the guard; every reader treats its bytes as untrusted.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarn::mediadispatch::channel {

constexpr const char* kGuardSuffix = ".guard";
constexpr uint64_t kGuardMagic = 0x3147455648435654ull;  // "TVCHEVG1" read as bytes
constexpr uint32_t kGuardVersion = 1;
constexpr uint64_t kGuardSegmentSize = 4096;

struct GuardLayout {
    uint64_t magic;
    uint32_t version;
    uint32_t layoutBytes;
    uint64_t sequence;
    int64_t monotonicNs;
    int64_t realtimeNs;
    int32_t writerPid;
    uint32_t reserved;
    uint64_t writerStartTicks;
    uint64_t channelDevice;
    uint64_t channelInode;
};
static_assert(sizeof(GuardLayout) == 72);

std::string guardNameOf(const std::string& channelName);
bool isReservedName(const std::string& channelName);

// What a reader saw of a guard at the start of a read.
struct GuardStamp {
    uint64_t sequence = 0;
    int64_t monotonicNs = 0;
    int64_t realtimeNs = 0;
};

// Who wrote the guard (as the writer recorded it at acquisition).
struct GuardIdentity {
    int writerPid = 0;
    uint64_t writerStartTicks = 0;
};
GuardIdentity readIdentity(const void* guard);

// Whether the guard's first bytes are ours (magic and version).
bool isOurGuard(const void* guard, uint64_t mappedSize);

// Writer side. beginFrame makes the sequence odd; commitFrame stamps the clocks, makes it even and
// wakes every reader waiting in waitForCommitAfter.
void initialiseGuard(void* guard, uint64_t channelDevice, uint64_t channelInode);
void recordChannel(void* guard, uint64_t channelDevice, uint64_t channelInode);
void beginFrame(void* guard);
void commitFrame(void* guard);

// Reader side: the sequence with acquire order (and the clocks), and the sequence again after a
// copy; a copy is intact when both are equal and even.
GuardStamp readStamp(const void* guard);
uint64_t sequenceAfterCopy(const void* guard);

// Sleeps until the writer commits a frame while the sequence still reads `seen`, or at most
// `timeout`. Returns at once when the sequence already differs from `seen`. A futex on the
// sequence's low word, shared between processes; it needs only a read-only mapping. false when
// the kernel refused to wait (errno set), so that the caller can sleep instead of spinning.
bool waitForCommitAfter(const void* guard, uint64_t seen, std::chrono::nanoseconds timeout);

// The writer lock. Non-blocking: false with errno set (EAGAIN when somebody else holds it).
bool lockAsWriter(int guardFd);
// Whether some process holds the writer lock (works on a read-only descriptor). `holderPid` gets
// its pid when known. false also when it cannot be told (errno set then).
bool writerIsAlive(int guardFd, int* holderPid = nullptr);

// Start time of process `pid` in clock ticks since boot (field 22 of /proc/PID/stat), 0 if gone.
uint64_t processStartTicks(int pid);

}  // namespace tarn::mediadispatch::channel
