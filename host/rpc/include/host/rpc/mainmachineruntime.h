// The main machine's side of the multi-machine runtime: an RPC server. A registered handler serves
// the nodes' calls of its name (its `data` is the call's arguments as one msgpack array, so a call
// with one argument delivers exactly the one-element array of the method table); publish reaches
// every connected node that registered a handler of that name. Owned by the host process; all
// operations are thread-safe. Handlers run on the server's I/O thread (large requests on its
// worker thread, so two handlers may run at once), tasks on a task thread.
#pragma once

#include <cstdint>
#include <memory>

#include <host/iqvruntime.h>
#include <host/rpc/rpcserver.h>

namespace host::rpc {

class MainMachineRuntime : public vantor::IQVRuntime {
public:
    // Listens at once; throws std::system_error if the address cannot be bound.
    explicit MainMachineRuntime(ServerOptions options = {});
    ~MainMachineRuntime() override;
    MainMachineRuntime(const MainMachineRuntime&) = delete;
    MainMachineRuntime& operator=(const MainMachineRuntime&) = delete;

    void postTask(const std::function<void()>& task, const char* file, int line,
                  const char* function) override;
    // A handler's exception is answered to the caller as [1, what()].
    void registerHandler(const char* name, vantor::RPCHandler handler) override;
    void unregisterHandler(const char* name) override;
    void publish(const char* name, const char* data, unsigned size) override;

    std::uint16_t port() const;
    std::size_t connectionCount() const;
    // Waits until every task posted so far has run; not from a task.
    void drainTasks();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace host::rpc
