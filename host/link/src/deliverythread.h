// The link's delivery thread: runs posted work in the order of posting, away from the network
// thread, so that a handler that blocks (an RPC call of seconds) does not stop the link from
// answering the broker. Under a flood the worker takes everything posted in one go and posting
// wakes it only when it sleeps, so a message costs no system call. post() and drain() may be
// called from any thread but the worker; destruction runs what was posted, then joins.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace host::link {

class DeliveryThread {
public:
    DeliveryThread();
    ~DeliveryThread();
    DeliveryThread(const DeliveryThread&) = delete;
    DeliveryThread& operator=(const DeliveryThread&) = delete;

    void post(std::function<void()> work);
    // Blocks until everything posted before the call has run.
    void drain();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::vector<std::function<void()>> queue_;  // guarded by mutex_
    bool sleeping_ = false;                     // guarded by mutex_
    bool busy_ = false;                         // guarded by mutex_: a batch is running
    bool stopping_ = false;                     // guarded by mutex_
    std::thread worker_;
};

}  // namespace host::link
