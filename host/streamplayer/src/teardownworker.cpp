#include "teardownworker.h"

namespace qv::streammediaplayercore {

TeardownWorker& TeardownWorker::instance() {
    static TeardownWorker worker;
    return worker;
}

void TeardownWorker::adopt(std::thread session) {
    if (!session.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        pending_.push_back(std::move(session));
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
        }
    }
    changed_.notify_one();
}

TeardownWorker::~TeardownWorker() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closing_ = true;
    }
    changed_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TeardownWorker::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return closing_ || !pending_.empty(); });
        if (pending_.empty()) {
            return;
        }
        std::thread session = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        session.join();
        lock.lock();
    }
}

}  // namespace qv::streammediaplayercore
