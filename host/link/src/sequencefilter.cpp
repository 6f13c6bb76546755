#include "sequencefilter.h"

namespace host::link {

SequenceFilter::Verdict SequenceFilter::check(const std::string& origin, const std::string& key,
                                              uint64_t session, uint64_t sequence) {
    const Stamp stamp{session, sequence};
    auto [entry, inserted] = last_.try_emplace({origin, key}, stamp);
    if (inserted) {
        return Verdict::kFresh;
    }
    if (stamp == entry->second) {
        return Verdict::kDuplicate;
    }
    if (stamp < entry->second) {
        return Verdict::kStale;
    }
    entry->second = stamp;
    return Verdict::kFresh;
}

}  // namespace host::link
