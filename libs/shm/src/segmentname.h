// The name side of a segment: opening a name, telling whether a descriptor is still the segment
// under its name, and deleting a name.
#pragma once

#include <string>

#include "descriptor.h"

namespace shm::detail {

// POSIX needs one leading '/'; nothing else is added or changed.
std::string posixName(const std::string& name);

// shm_open with `flags`; an invalid descriptor with errno set on failure. Creating opens get mode
// 0666 whatever the umask: host processes of other users must be able to open the segment.
Descriptor openName(const std::string& posix, int flags);

// Whether `fd` and the file now under `posix` are the same file (false when the name is gone).
bool isCurrent(int fd, const std::string& posix);

// Deletes the name; errno is preserved.
void unlinkName(const std::string& posix);

}  // namespace shm::detail
