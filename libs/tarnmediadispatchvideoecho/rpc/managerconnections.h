// The slots that a proxy keeps connected to echo managers' signals, each tagged with its manager
// and with the object it calls, so that unsetting a manager ends exactly that manager's slots and
// the owner's destruction ends the rest. Thread-safe.
#pragma once

#include <initializer_list>
#include <mutex>
#include <vector>

#include <host/signal.h>
#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

namespace tarn::mediadispatch::detail {

class ManagerConnections {
public:
    ManagerConnections() = default;
    ManagerConnections(const ManagerConnections&) = delete;
    ManagerConnections& operator=(const ManagerConnections&) = delete;
    ~ManagerConnections() = default;  // the scoped connections end every slot

    void add(const IVideoEchoMgr* mgr, const void* owner, host::Connection connection);
    // Ends the slots on `mgr` that call one of `owners`.
    void disconnect(const IVideoEchoMgr* mgr, std::initializer_list<const void*> owners);
    // Ends every slot that calls `owner`, on whichever manager.
    void disconnectOwner(const void* owner);

private:
    struct Entry {
        const IVideoEchoMgr* mgr;
        const void* owner;
        host::ScopedConnection connection;
    };
    template <typename Match>
    void disconnectIf(Match match);

    std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_
};

}  // namespace tarn::mediadispatch::detail
