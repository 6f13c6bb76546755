// The name side of a segment: opening a name, telling whether a descriptor is still the segment
// under its name, and deleting a name.
#pragma once

#include <string>

#include <sys/types.h>

#include "descriptor.h"

namespace shm::detail {

// POSIX needs one leading '/'; nothing else is added or changed.
std::string posixName(const std::string& name);

// Where the platform keeps the names (glibc's shm_open works on this tmpfs).
std::string pathOf(const std::string& posix);

// Who may read a segment that we create: its owner writes, everybody (or only `group`) reads.
struct CreatorAccess {
    gid_t group = static_cast<gid_t>(-1);  // -1: readable by every user
};

// shm_open with `flags` (O_RDONLY or O_RDWR, perhaps O_CREAT | O_EXCL); an invalid descriptor
// with errno set on failure. A created file gets its permissions from `access` whatever the
// umask: writable by its owner only, so that nobody else can truncate a segment under a process
// that maps it (a truncated mapping kills that process with SIGBUS).
Descriptor openName(const std::string& posix, int flags, const CreatorAccess& access = {});

enum class NameCheck {
    same,     // the name refers to the descriptor's file
    changed,  // the name is gone or refers to another file
    failed,   // could not tell; errno says why
};

// Compares `fd` with the file at `path` (pathOf the name), without a descriptor of its own, so
// that a process out of descriptors gets its real error instead of an endless "changed". Takes the
// path ready-made, so that a reader's check per frame allocates nothing.
NameCheck checkPath(int fd, const std::string& path);
inline NameCheck checkName(int fd, const std::string& posix) {
    return checkPath(fd, pathOf(posix));
}

// Deletes the name; false with errno set when it could not.
bool unlinkName(const std::string& posix);

}  // namespace shm::detail
