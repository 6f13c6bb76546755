// What a link manager has done since it started, for the host to show. A snapshot copied out of
// the manager; counts never go down.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace host::link {

struct LinkCounters {
    bool connected = false;
    bool refused = false;        // another machine holds this node id
    uint64_t connects = 0;       // successful connections, the first included
    uint64_t published = 0;      // handed to the broker
    uint64_t queued = 0;         // held while the broker was away (sent later or dropped)
    uint64_t queueDropped = 0;   // refused because the offline queue was full
    uint64_t oversized = 0;      // refused for exceeding the message size limit
    uint64_t received = 0;       // data messages from other machines that passed the checks
    uint64_t duplicates = 0;     // dropped: the same sequence number seen before
    uint64_t stale = 0;          // dropped: older than a message already delivered
    uint64_t malformed = 0;      // dropped: no valid origin or sequence number
    uint64_t handlerErrors = 0;  // handlers that threw
    std::map<std::string, uint64_t> publishedByKey;
    std::map<std::string, uint64_t> receivedByKey;
};

}  // namespace host::link
