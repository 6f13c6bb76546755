#include <host/rpc/noderuntime.h>

#include <map>
#include <mutex>
#include <thread>

#include <host/log.h>
#include <host/rpc/boundedunpack.h>
#include <host/taskthread.h>

namespace host::rpc {

struct NodeRuntime::Impl {
    Impl(std::string host, std::uint16_t port, ClientOptions options)
        : client(std::move(host), port, options) {}

    void deliver(const std::string& name, std::string data);

    std::mutex handlersMutex;
    std::map<std::string, vantor::RPCHandler> handlers;  // guarded by handlersMutex
    TaskThread tasks;
    TaskThread deliveries;
    // Declared last, destroyed first: its I/O thread posts into `deliveries`.
    RpcClient client;
};

void NodeRuntime::Impl::deliver(const std::string& name, std::string data) {
    vantor::RPCHandler handler;
    {
        std::lock_guard<std::mutex> lock(handlersMutex);
        auto it = handlers.find(name);
        if (it == handlers.end()) {
            return;  // unregistered meanwhile
        }
        handler = it->second;
    }
    try {
        handler(name.c_str(), data.data(), static_cast<unsigned>(data.size()));
    } catch (const std::exception& error) {
        TARN_LOG_ERROR("runtime handler {} failed: {}", name, error.what());
    }
}

NodeRuntime::NodeRuntime(std::string host, std::uint16_t port, ClientOptions options)
    : impl_(std::make_unique<Impl>(std::move(host), port, options)) {
    impl_->client.asyncConnect();
}

NodeRuntime::~NodeRuntime() = default;

ClientOptions NodeRuntime::defaultOptions() {
    ClientOptions options;
    options.reconnectInterval = std::chrono::milliseconds(500);
    return options;
}

void NodeRuntime::postTask(const std::function<void()>& task, const char*, int, const char*) {
    impl_->tasks.post(task);
}

void NodeRuntime::registerHandler(const char* name, vantor::RPCHandler handler) {
    if (name == nullptr || !handler) {
        TARN_LOG_WARN("runtime: handler without name or callable not registered");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->handlersMutex);
        impl_->handlers[name] = std::move(handler);
    }
    impl_->client.subscribe(
        name, [impl = impl_.get()](const std::string& key, const char* data, std::size_t size) {
            impl->deliveries.post([impl, key, payload = std::string(data, size)]() mutable {
                impl->deliver(key, std::move(payload));
            });
        });
}

void NodeRuntime::unregisterHandler(const char* name) {
    if (name == nullptr) {
        return;
    }
    impl_->client.unsubscribe(name);
    std::lock_guard<std::mutex> lock(impl_->handlersMutex);
    impl_->handlers.erase(name);
}

void NodeRuntime::publish(const char* name, const char* data, unsigned size) {
    if (name == nullptr || data == nullptr) {
        TARN_LOG_WARN("runtime: publication without name or data dropped");
        return;
    }
    const auto array = readArrayHeader(data, size);
    if (!array) {
        TARN_LOG_WARN("runtime: publication of {} is not a msgpack array, dropped", name);
        return;
    }
    if (array->count == 0xffffffffu) {
        TARN_LOG_WARN("runtime: publication of {} has too many elements, dropped", name);
        return;
    }
    // The payload's elements become the call's arguments: [name, element1, ...].
    std::string body;
    appendArrayHeader(body, array->count + 1);
    msgpack::sbuffer nameBuffer;
    msgpack::pack(nameBuffer, std::string(name));
    body.append(nameBuffer.data(), nameBuffer.size());
    body.append(data + array->headerSize, size - array->headerSize);
    try {
        impl_->client.notifyEncoded(body);
    } catch (const std::exception& error) {
        TARN_LOG_WARN("runtime: publication of {} dropped: {}", name, error.what());
    }
}

bool NodeRuntime::waitConnected(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!impl_->client.has_connected()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool NodeRuntime::isConnected() const {
    return impl_->client.has_connected();
}

void NodeRuntime::drain() {
    impl_->deliveries.drain();
    impl_->tasks.drain();
}

}  // namespace host::rpc
