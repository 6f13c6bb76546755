// A node's side of the multi-machine runtime: an RPC client of the main machine. A registered
// handler receives what the main machine publishes under its name; publish sends the payload (a
// msgpack array of arguments) to the main machine as a call of that name without waiting for the
// reply. Owned by the host process; all operations are thread-safe. Handlers run in arrival order
// on the runtime's delivery thread, tasks in posting order on its task thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <host/iqvruntime.h>
#include <host/rpc/rpcclient.h>

namespace host::rpc {

class NodeRuntime : public vantor::IQVRuntime {
public:
    // Starts connecting at once; with a reconnect interval in `options` (the default here), a main
    // machine that is not up yet or goes away is tried again.
    NodeRuntime(std::string host, std::uint16_t port, ClientOptions options = defaultOptions());
    ~NodeRuntime() override;
    NodeRuntime(const NodeRuntime&) = delete;
    NodeRuntime& operator=(const NodeRuntime&) = delete;

    void postTask(const std::function<void()>& task, const char* file, int line,
                  const char* function) override;
    // A handler's exception is logged at error level and the delivery dropped.
    void registerHandler(const char* name, vantor::RPCHandler handler) override;
    void unregisterHandler(const char* name) override;
    // Not connected, or `data` not a msgpack array: the payload is dropped with a warning.
    void publish(const char* name, const char* data, unsigned size) override;

    bool waitConnected(std::chrono::milliseconds timeout);
    bool isConnected() const;
    // Waits until every task and delivery queued so far has run; not from a task or handler.
    void drain();

    static ClientOptions defaultOptions();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace host::rpc
