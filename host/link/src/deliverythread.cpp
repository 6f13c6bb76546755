#include "deliverythread.h"

#include <exception>

#include <host/log.h>

namespace host::link {

DeliveryThread::DeliveryThread() : worker_([this] { run(); }) {}

DeliveryThread::~DeliveryThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void DeliveryThread::post(std::function<void()> work) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(work));
        wake = sleeping_;
        sleeping_ = false;
    }
    if (wake) {
        wake_.notify_one();
    }
}

void DeliveryThread::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void DeliveryThread::run() {
    std::vector<std::function<void()>> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            busy_ = false;
            if (queue_.empty()) {
                idle_.notify_all();
                if (stopping_) {
                    return;
                }
                sleeping_ = true;
                wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
                sleeping_ = false;
                if (queue_.empty()) {
                    return;
                }
            }
            batch.swap(queue_);
            busy_ = true;
        }
        for (auto& work : batch) {
            try {
                work();
            } catch (const std::exception& error) {
                TARN_LOG_ERROR("link: delivery failed: {}", error.what());
            } catch (...) {
                TARN_LOG_ERROR("link: delivery failed with an unknown exception");
            }
        }
        batch.clear();
    }
}

}  // namespace host::link
