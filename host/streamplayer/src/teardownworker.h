// The stream-player module's one background thread that waits for finished sessions: a session's
// worker may need a while to close a connection to a dead server, and neither stop nor a
// player's destructor may wait for that on the host's thread. A process-wide singleton of the
// module; adopt may be called from any thread. At exit it waits for the sessions it still holds.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace qv::streammediaplayercore {

class TeardownWorker {
public:
    static TeardownWorker& instance();

    // Takes over a session thread that was asked to stop, and joins it in the background.
    void adopt(std::thread session);

    ~TeardownWorker();
    TeardownWorker(const TeardownWorker&) = delete;
    TeardownWorker& operator=(const TeardownWorker&) = delete;

private:
    TeardownWorker() = default;
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::thread> pending_;  // guarded by mutex_
    bool closing_ = false;             // guarded by mutex_
    std::thread thread_;               // started by the first adopt, under mutex_
};

}  // namespace qv::streammediaplayercore
