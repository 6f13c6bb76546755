#include "channelreclaim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tarnmediadispatchvideoecho/channelcleanup.h>

#include "channelguard.h"
#include "soleopener.h"

namespace tarn::mediadispatch::channel {

namespace {

const char* const kShmDirectory = "/dev/shm/";

// One descriptor, closed once.
class GuardFile {
public:
    GuardFile(const std::string& guardName, int flags)
        : fd_(::shm_open(("/" + guardName).c_str(), flags | O_CLOEXEC, 0)) {}
    ~GuardFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    GuardFile(const GuardFile&) = delete;
    GuardFile& operator=(const GuardFile&) = delete;
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // What the file under the guard's name is: a guard that carries our mark (its fixed part in
    // `layout`), one that its writer was killed before marking (all zeros, ours by owner), or
    // anything else.
    enum class Kind { ours, unmarked, foreign };
    Kind read(GuardLayout& layout, struct stat& status) const {
        if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
            return Kind::foreign;
        }
        const bool ownFile = status.st_uid == ::geteuid();
        if (status.st_size == 0) {
            return ownFile ? Kind::unmarked : Kind::foreign;
        }
        if (status.st_size < static_cast<off_t>(sizeof layout) ||
            ::pread(fd_, &layout, sizeof layout, 0) != static_cast<ssize_t>(sizeof layout)) {
            return Kind::foreign;
        }
        if (layout.magic == kGuardMagic && layout.version == kGuardVersion) {
            return Kind::ours;
        }
        const GuardLayout zero{};
        const bool blank = std::memcmp(&layout, &zero, sizeof layout) == 0;
        return blank && ownFile && static_cast<uint64_t>(status.st_size) == kGuardSegmentSize
                   ? Kind::unmarked
                   : Kind::foreign;
    }
    bool readOurs(GuardLayout& layout, struct stat& status) const {
        return read(layout, status) == Kind::ours;
    }

private:
    int fd_;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool endsWithSuffix(const char* entry, std::string& channelName) {
    const size_t length = std::strlen(entry);
    const size_t suffix = std::strlen(kGuardSuffix);
    if (length <= suffix || std::strcmp(entry + length - suffix, kGuardSuffix) != 0) {
        return false;
    }
    channelName.assign(entry, length - suffix);
    return true;
}

std::vector<std::string> guardedNames() {
    std::vector<std::string> names;
    DIR* directory = ::opendir(kShmDirectory);
    if (directory == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(directory)) {
        std::string channelName;
        if ((entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) &&
            endsWithSuffix(entry->d_name, channelName)) {
            names.push_back(std::move(channelName));
        }
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

bool stillNamed(const std::string& guardName, const struct stat& status) {
    struct stat named {};
    return ::lstat((kShmDirectory + guardName).c_str(), &named) == 0 && sameFile(status, named);
}

// A guard that its writer never marked: the writer was killed between creating it and writing
// its first bytes, which is before it created the channel, so the guard is all there is. It goes
// only when nobody holds it (no holder lock) and no other process has it open or mapped.
bool reclaimUnmarked(int fd, const std::string& guardName, const struct stat& status) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !onlyOpenerOf(fd) ||
        !stillNamed(guardName, status)) {
        return false;
    }
    return ::shm_unlink(("/" + guardName).c_str()) == 0;
}

}  // namespace

bool reclaimIfAbandoned(const std::string& name) {
    const std::string guardName = guardNameOf(name);
    // Writable: the writer lock needs it, and only the guard's owner (or root) can reclaim.
    GuardFile guard(guardName, O_RDWR);
    GuardLayout layout{};
    struct stat status {};
    const GuardFile::Kind kind = guard.read(layout, status);
    if (kind == GuardFile::Kind::unmarked) {
        return reclaimUnmarked(guard.fd(), guardName, status);
    }
    if (kind != GuardFile::Kind::ours) {
        return false;
    }
    // Taking the writer lock proves that no writer holds the channel, and keeps a second
    // reclaimer or a new writer of this very guard out while we remove it.
    if (!lockAsWriter(guard.fd())) {
        return false;
    }
    if (!stillNamed(guardName, status)) {
        return false;  // removed or replaced since we opened it
    }
    // The channel segment goes only if the guard vouches for it: by its identity, or, for a
    // writer killed between creating it and recording it, by being the guard owner's file.
    struct stat segment {};
    const bool recorded = layout.channelInode != 0;
    if (::lstat((kShmDirectory + name).c_str(), &segment) == 0 && S_ISREG(segment.st_mode) &&
        (recorded ? static_cast<uint64_t>(segment.st_dev) == layout.channelDevice &&
                        static_cast<uint64_t>(segment.st_ino) == layout.channelInode
                  : segment.st_uid == status.st_uid)) {
        ::shm_unlink(("/" + name).c_str());
    }
    return ::shm_unlink(("/" + guardName).c_str()) == 0;
}

int reclaimSome(ReclaimCursor& cursor, int budget) {
    const std::vector<std::string> names = guardedNames();
    auto next = std::upper_bound(names.begin(), names.end(), cursor.after);
    int reclaimed = 0;
    for (int looked = 0; looked < budget && !names.empty(); ++looked) {
        if (next == names.end()) {
            next = names.begin();
        }
        cursor.after = *next;
        reclaimed += reclaimIfAbandoned(*next) ? 1 : 0;
        ++next;
        if (static_cast<size_t>(looked + 1) >= names.size()) {
            break;
        }
    }
    return reclaimed;
}

ExistingGuard inspectGuard(const std::string& channelName) {
    ExistingGuard found;
    GuardFile guard(guardNameOf(channelName), O_RDONLY);
    GuardLayout layout{};
    struct stat status {};
    if (!guard.readOurs(layout, status)) {
        return found;
    }
    found.ours = true;
    found.writerAlive = writerIsAlive(guard.fd(), &found.writerPid);
    if (!found.writerAlive) {
        found.writerPid = layout.writerPid;
    }
    return found;
}

long long ownerOf(const std::string& name) {
    struct stat status {};
    if (::lstat((kShmDirectory + name).c_str(), &status) != 0) {
        return -1;
    }
    return static_cast<long long>(status.st_uid);
}

std::string printable(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace tarn::mediadispatch::channel

namespace tarn::mediadispatch {

std::vector<AbandonedChannel> findAbandonedChannels() {
    std::vector<AbandonedChannel> found;
    for (const std::string& name : channel::guardedNames()) {
        const channel::ExistingGuard guard = channel::inspectGuard(name);
        if (!guard.ours || guard.writerAlive) {
            continue;
        }
        AbandonedChannel entry;
        entry.name = name;
        entry.ownerUid = channel::ownerOf(channel::guardNameOf(name));
        entry.writerPid = guard.writerPid;
        entry.hasSegment = channel::ownerOf(name) >= 0;
        entry.removable = ::geteuid() == 0 || entry.ownerUid == static_cast<long long>(::geteuid());
        found.push_back(std::move(entry));
    }
    return found;
}

bool reclaimAbandonedChannel(const std::string& name) {
    return channel::reclaimIfAbandoned(name);
}

}  // namespace tarn::mediadispatch
