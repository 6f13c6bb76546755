// Reclaiming the segments of dead writers (see channelcleanup.h), and the facts about existing
// names that the writer needs to explain a failed acquisition.
#pragma once

#include <string>

namespace tarn::mediadispatch::channel {

// Where a writer's bounded sweep over other names stopped; the next sweep goes on from there.
struct ReclaimCursor {
    std::string after;
};

// Removes the abandoned channel `name`, if it is one. true when something was removed.
bool reclaimIfAbandoned(const std::string& name);

// Looks at up to `budget` guards after the cursor and reclaims the abandoned ones; returns how
// many were reclaimed.
int reclaimSome(ReclaimCursor& cursor, int budget = 4);

struct ExistingGuard {
    bool ours = false;  // a guard with our magic
    bool writerAlive = false;
    int writerPid = 0;
};
ExistingGuard inspectGuard(const std::string& channelName);

// Owner uid of /dev/shm/NAME, or -1.
long long ownerOf(const std::string& name);

// `name` with control characters and backslashes escaped, fit for one line of a message.
std::string printable(const std::string& name);

}  // namespace tarn::mediadispatch::channel
