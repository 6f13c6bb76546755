#include "channelguard.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarn::mediadispatch::channel {

namespace {

GuardLayout* layoutOf(void* guard) {
    return static_cast<GuardLayout*>(guard);
}

const GuardLayout* layoutOf(const void* guard) {
    return static_cast<const GuardLayout*>(guard);
}

int64_t nowNs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the futex word is the low half");

// The sequence's low 32 bits: they change with every begin and commit, and a futex word is 32
// bits. Not a private futex: writer and readers are different processes.
const uint32_t* futexWordOf(const void* guard) {
    return reinterpret_cast<const uint32_t*>(&layoutOf(guard)->sequence);
}

long futex(const uint32_t* word, int operation, uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

struct flock writerLockRange(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
}

}  // namespace

std::string guardNameOf(const std::string& channelName) {
    return channelName + kGuardSuffix;
}

bool isReservedName(const std::string& channelName) {
    const size_t suffix = std::strlen(kGuardSuffix);
    return channelName.size() >= suffix &&
           channelName.compare(channelName.size() - suffix, suffix, kGuardSuffix) == 0;
}

bool isOurGuard(const void* guard, uint64_t mappedSize) {
    if (guard == nullptr || mappedSize < sizeof(GuardLayout)) {
        return false;
    }
    const GuardLayout* g = layoutOf(guard);
    return __atomic_load_n(&g->magic, __ATOMIC_RELAXED) == kGuardMagic &&
           __atomic_load_n(&g->version, __ATOMIC_RELAXED) == kGuardVersion;
}

void initialiseGuard(void* guard, uint64_t channelDevice, uint64_t channelInode) {
    GuardLayout* g = layoutOf(guard);
    __atomic_store_n(&g->sequence, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g->monotonicNs, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g->realtimeNs, 0, __ATOMIC_RELAXED);
    const int pid = static_cast<int>(::getpid());
    __atomic_store_n(&g->writerPid, pid, __ATOMIC_RELAXED);
    __atomic_store_n(&g->writerStartTicks, processStartTicks(pid), __ATOMIC_RELAXED);
    __atomic_store_n(&g->channelDevice, channelDevice, __ATOMIC_RELAXED);
    __atomic_store_n(&g->channelInode, channelInode, __ATOMIC_RELAXED);
    __atomic_store_n(&g->layoutBytes, static_cast<uint32_t>(sizeof(GuardLayout)), __ATOMIC_RELAXED);
    __atomic_store_n(&g->version, kGuardVersion, __ATOMIC_RELAXED);
    // The magic last: a guard that carries it is complete.
    __atomic_store_n(&g->magic, kGuardMagic, __ATOMIC_RELEASE);
}

void recordChannel(void* guard, uint64_t channelDevice, uint64_t channelInode) {
    GuardLayout* g = layoutOf(guard);
    __atomic_store_n(&g->channelDevice, channelDevice, __ATOMIC_RELAXED);
    __atomic_store_n(&g->channelInode, channelInode, __ATOMIC_RELEASE);
}

void beginFrame(void* guard) {
    GuardLayout* g = layoutOf(guard);
    const uint64_t sequence = __atomic_load_n(&g->sequence, __ATOMIC_RELAXED);
    __atomic_store_n(&g->sequence, (sequence | 1) == sequence ? sequence + 2 : sequence + 1,
                     __ATOMIC_RELAXED);
    // The odd sequence must be visible before any byte of the frame changes.
    __atomic_thread_fence(__ATOMIC_RELEASE);
}

void commitFrame(void* guard) {
    GuardLayout* g = layoutOf(guard);
    __atomic_store_n(&g->monotonicNs, nowNs(CLOCK_MONOTONIC), __ATOMIC_RELAXED);
    __atomic_store_n(&g->realtimeNs, nowNs(CLOCK_REALTIME), __ATOMIC_RELAXED);
    const uint64_t sequence = __atomic_load_n(&g->sequence, __ATOMIC_RELAXED);
    __atomic_store_n(&g->sequence, sequence + 1, __ATOMIC_RELEASE);
    // One system call, about as dear as any other with nobody waiting (about a microsecond):
    // readers map the guard read-only and cannot say whether they wait.
    futex(futexWordOf(guard), FUTEX_WAKE, INT_MAX, nullptr);
}

GuardStamp readStamp(const void* guard) {
    const GuardLayout* g = layoutOf(guard);
    GuardStamp stamp;
    stamp.sequence = __atomic_load_n(&g->sequence, __ATOMIC_ACQUIRE);
    stamp.monotonicNs = __atomic_load_n(&g->monotonicNs, __ATOMIC_RELAXED);
    stamp.realtimeNs = __atomic_load_n(&g->realtimeNs, __ATOMIC_RELAXED);
    return stamp;
}

GuardIdentity readIdentity(const void* guard) {
    const GuardLayout* g = layoutOf(guard);
    GuardIdentity identity;
    identity.writerPid = __atomic_load_n(&g->writerPid, __ATOMIC_RELAXED);
    identity.writerStartTicks = __atomic_load_n(&g->writerStartTicks, __ATOMIC_RELAXED);
    return identity;
}

uint64_t sequenceAfterCopy(const void* guard) {
    // The copy's loads must all be done before the sequence is read again.
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return __atomic_load_n(&layoutOf(guard)->sequence, __ATOMIC_RELAXED);
}

bool waitForCommitAfter(const void* guard, uint64_t seen, std::chrono::nanoseconds timeout) {
    if (timeout.count() <= 0) {
        return true;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec relative{static_cast<time_t>(seconds.count()),
                            static_cast<long>((timeout - seconds).count())};
    // The kernel compares the word with `seen` and sleeps only while they are equal, so a commit
    // between the caller's look at the sequence and this call is never missed. EAGAIN (changed
    // already), EINTR and ETIMEDOUT are the normal ends of a wait: the caller reads again.
    if (futex(futexWordOf(guard), FUTEX_WAIT, static_cast<uint32_t>(seen), &relative) == 0) {
        return true;
    }
    return errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT;
}

bool lockAsWriter(int guardFd) {
    struct flock range = writerLockRange(F_WRLCK);
    return ::fcntl(guardFd, F_OFD_SETLK, &range) == 0;
}

bool writerIsAlive(int guardFd, int* holderPid) {
    struct flock range = writerLockRange(F_WRLCK);
    if (::fcntl(guardFd, F_OFD_GETLK, &range) != 0) {
        return false;
    }
    if (holderPid != nullptr) {
        *holderPid = range.l_pid;
    }
    return range.l_type != F_UNLCK;
}

uint64_t processStartTicks(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return 0;
    }
    char buffer[1024];
    const size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    buffer[length] = '\0';
    // The command name may hold blanks and parentheses; the fields after it start behind the
    // last ')'. Field 3 (state) is the first one there; the start time is field 22.
    const char* rest = std::strrchr(buffer, ')');
    if (rest == nullptr) {
        return 0;
    }
    unsigned long long ticks = 0;
    int field = 2;
    for (const char* p = rest + 1; *p != '\0'; ++p) {
        if (*p == ' ') {
            ++field;
            if (field == 22) {
                ticks = std::strtoull(p + 1, nullptr, 10);
                break;
            }
        }
    }
    return ticks;
}

}  // namespace tarn::mediadispatch::channel
