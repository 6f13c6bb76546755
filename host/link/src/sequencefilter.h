// Tells fresh link messages from replayed and stale ones. Each publisher numbers its messages
// (session, sequence), both growing; per publisher and key only a number above the last delivered
// one is fresh. Used by the network thread alone, so it takes no lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace host::link {

class SequenceFilter {
public:
    enum class Verdict { kFresh, kDuplicate, kStale };

    // Records a fresh number as the last one of (origin, key).
    Verdict check(const std::string& origin, const std::string& key, uint64_t session,
                  uint64_t sequence);

private:
    using Stamp = std::pair<uint64_t, uint64_t>;                 // session, sequence
    std::map<std::pair<std::string, std::string>, Stamp> last_;  // by origin, key
};

}  // namespace host::link
