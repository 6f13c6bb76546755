#include <host/rpc/mainmachineruntime.h>

#include <string>

#include <host/log.h>
#include <host/taskthread.h>

namespace host::rpc {

struct MainMachineRuntime::Impl {
    explicit Impl(ServerOptions options) : server(std::move(options)) {}

    // Declared last, destroyed first: no handler runs once the task thread is gone.
    TaskThread tasks;
    RpcServer server;
};

MainMachineRuntime::MainMachineRuntime(ServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

MainMachineRuntime::~MainMachineRuntime() = default;

void MainMachineRuntime::postTask(const std::function<void()>& task, const char*, int,
                                  const char*) {
    impl_->tasks.post(task);
}

void MainMachineRuntime::registerHandler(const char* name, vantor::RPCHandler handler) {
    if (name == nullptr || !handler) {
        TARN_LOG_WARN("runtime: handler without name or callable not registered");
        return;
    }
    impl_->server.registerRaw(name,
                              [name = std::string(name), handler = std::move(handler)](
                                  const char* args, std::size_t size) -> std::string {
                                  handler(name.c_str(), args, static_cast<unsigned>(size));
                                  return {};
                              });
}

void MainMachineRuntime::unregisterHandler(const char* name) {
    if (name != nullptr) {
        impl_->server.unregister(name);
    }
}

void MainMachineRuntime::publish(const char* name, const char* data, unsigned size) {
    if (name == nullptr || (data == nullptr && size > 0)) {
        TARN_LOG_WARN("runtime: publication without name or data dropped");
        return;
    }
    impl_->server.publish(name, std::string_view(data == nullptr ? "" : data, size));
}

std::uint16_t MainMachineRuntime::port() const {
    return impl_->server.port();
}

std::size_t MainMachineRuntime::connectionCount() const {
    return impl_->server.connectionCount();
}

void MainMachineRuntime::drainTasks() {
    impl_->tasks.drain();
}

}  // namespace host::rpc
