// One play of a stream player: a worker thread that connects to the URL, keeps the newest picture
// in `frames`, and reconnects with back-off when the stream fails or the server goes away, until
// stop is requested. Shared between the player and its worker thread; requestStop and frames may
// be called from any thread, and never wait for the network.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "latestframe.h"

namespace qv::streammediaplayercore {

struct ReconnectPolicy {
    std::chrono::milliseconds firstDelay{100};
    std::chrono::milliseconds maxDelay{1000};
    // A connection that has shown no picture after this long is given up and retried.
    std::chrono::milliseconds firstPictureTimeout{5000};
    // A playing connection that has shown no new picture for this long is reconnected.
    std::chrono::milliseconds stallTimeout{10000};
};

class StreamSession : public std::enable_shared_from_this<StreamSession> {
public:
    StreamSession(std::string url, ReconnectPolicy policy);

    // Starts the worker thread, which holds the session until it ends.
    std::thread start();
    void requestStop();
    LatestFrame& frames() { return frames_; }

private:
    enum class Outcome { stopped, failed, stalled, unplayable };

    void run();
    // One connection, until it fails (with the reason), stalls or stop is requested.
    Outcome playOnce(std::string& reason);
    // Waits for `delay` unless stop is requested first; false when stopping.
    bool pause(std::chrono::milliseconds delay);
    bool stopping() const { return stopping_.load(std::memory_order_acquire); }

    const std::string url_;
    const ReconnectPolicy policy_;
    LatestFrame frames_;
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;  // pairs with stopChanged_
    std::condition_variable stopChanged_;
};

}  // namespace qv::streammediaplayercore
