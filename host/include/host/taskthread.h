// One worker thread that runs posted tasks in the order of posting. Owned by a runtime; post() may
// be called from any thread, including from a running task. Destruction runs the tasks already
// posted, then joins the thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace host {

class TaskThread {
public:
    TaskThread();
    ~TaskThread();
    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;

    void post(std::function<void()> task);
    // Blocks until every task posted before this call has run. Must not be called from a task.
    void drain();
    bool isTaskThread() const { return std::this_thread::get_id() == worker_.get_id(); }

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;  // guarded by mutex_
    bool stopping_ = false;                    // guarded by mutex_
    std::thread worker_;
};

}  // namespace host
