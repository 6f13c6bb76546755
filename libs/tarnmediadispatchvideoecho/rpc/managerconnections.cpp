#include "managerconnections.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace tarn::mediadispatch::detail {

void ManagerConnections::add(const IVideoEchoMgr* mgr, const void* owner,
                             host::Connection connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(Entry{mgr, owner, host::ScopedConnection(connection)});
}

template <typename Match>
void ManagerConnections::disconnectIf(Match match) {
    // The connections end outside the lock: a disconnect may wait for the signal's own mutex.
    std::vector<Entry> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto keep = std::stable_partition(entries_.begin(), entries_.end(),
                                          [&](const Entry& e) { return !match(e); });
        std::move(keep, entries_.end(), std::back_inserter(ended));
        entries_.erase(keep, entries_.end());
    }
}

void ManagerConnections::disconnect(const IVideoEchoMgr* mgr,
                                    std::initializer_list<const void*> owners) {
    disconnectIf([&](const Entry& e) {
        return e.mgr == mgr && std::find(owners.begin(), owners.end(), e.owner) != owners.end();
    });
}

void ManagerConnections::disconnectOwner(const void* owner) {
    disconnectIf([&](const Entry& e) { return e.owner == owner; });
}

}  // namespace tarn::mediadispatch::detail
