#include <host/taskthread.h>

#include <future>

#include <host/log.h>

namespace host {

TaskThread::TaskThread() : worker_([this] { run(); }) {}

TaskThread::~TaskThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
}

void TaskThread::post(std::function<void()> task) {
    if (!task) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void TaskThread::drain() {
    std::promise<void> done;
    auto future = done.get_future();
    post([&done] { done.set_value(); });
    future.wait();
}

void TaskThread::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;  // stopping, and every posted task has run
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            task();
        } catch (const std::exception& error) {
            TARN_LOG_ERROR("task failed: {}", error.what());
        } catch (...) {
            TARN_LOG_ERROR("task failed with an unknown exception");
        }
    }
}

}  // namespace host
