// An in-process multi-machine runtime: several runtimes of one process joined as one main machine
// and any number of nodes. A node's call reaches the main machine's handler of that name; the main
// machine's publish reaches every node's handler of that name. Deliveries run synchronously on the
// caller's thread (handlers are called outside every lock); posted tasks run in order on the
// runtime's own task thread. All operations are thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <host/iqvruntime.h>
#include <host/taskthread.h>

namespace host {

class InProcessRuntime;

// The wire between the runtimes of one process. Runtimes join on construction and leave on
// destruction.
class InProcessNetwork {
public:
    InProcessNetwork() = default;
    InProcessNetwork(const InProcessNetwork&) = delete;
    InProcessNetwork& operator=(const InProcessNetwork&) = delete;

private:
    friend class InProcessRuntime;
    // Recursive: a delivery holds it, and a handler may call across the network again.
    std::recursive_mutex mutex_;
    InProcessRuntime* main_ = nullptr;      // guarded by mutex_
    std::vector<InProcessRuntime*> nodes_;  // guarded by mutex_
};

class InProcessRuntime : public vantor::IQVRuntime {
public:
    enum class Role { Main, Node };

    InProcessRuntime(std::shared_ptr<InProcessNetwork> network, Role role);
    // A runtime of its own, for tests that only need tasks and handlers.
    explicit InProcessRuntime(Role role = Role::Main);
    ~InProcessRuntime() override;

    void postTask(const std::function<void()>& task, const char* file, int line,
                  const char* function) override;
    void registerHandler(const char* name, vantor::RPCHandler handler) override;
    void unregisterHandler(const char* name) override;
    void publish(const char* name, const char* data, unsigned size) override;

    // A node calls the main machine. Returns the handler's exception text, "unknown function: X"
    // when the main machine has no such handler, or an empty string on success.
    std::string call(const std::string& name, const std::string& payload);
    // Delivers a payload to this runtime's own handler, as the network would. Same result as call.
    std::string deliver(const std::string& name, const std::string& payload);
    bool hasHandler(const std::string& name) const;
    // Waits until every task posted so far has run.
    void drainTasks();

    // What this runtime published, oldest first (for the host's own views and for tests).
    struct Publication {
        std::string name;
        std::string payload;
    };
    std::vector<Publication> publications() const;

private:
    std::shared_ptr<InProcessNetwork> network_;
    Role role_;
    mutable std::mutex mutex_;
    std::map<std::string, vantor::RPCHandler> handlers_;  // guarded by mutex_
    std::vector<Publication> published_;                  // guarded by mutex_
    TaskThread tasks_;
};

}  // namespace host
