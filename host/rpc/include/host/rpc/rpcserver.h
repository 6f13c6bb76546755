// The host's RPC server: accepts TCP connections (wire format in <host/rpc/wire.h>), dispatches
// requests by method name to registered handlers and publishes to subscribed connections. Owned by
// whoever creates it (the main machine's runtime). One I/O thread, started by the constructor,
// reads every connection and runs the handlers of small requests; requests of offloadThreshold
// bytes or more are decoded and handled on one worker thread, while their connection reads nothing
// further, so replies on a connection leave in request order and a large request holds up no other
// connection. Handlers may therefore run on two threads at once. register/unregister/publish may
// be called from any thread, also from a handler.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include <msgpack.hpp>

#include <host/rpc/boundedunpack.h>

namespace host::rpc {

struct ServerOptions {
    // The address to listen on: "127.0.0.1" serves this machine only, "0.0.0.0" (or "::") every
    // interface, any other local address that interface.
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: an ephemeral port, see RpcServer::port()
    // A connection that sends nothing (not even a heartbeat) for this long is closed; 0 = never.
    std::chrono::milliseconds idleTimeout{15000};
    // Requests with a body of this many bytes or more are handled off the I/O thread. A hand-off
    // costs more than a whole small call, so small requests stay on it.
    std::size_t offloadThreshold = 64 * 1024;
    // What may wait to be written to one connection (replies and publications) before its peer
    // counts as not reading and is disconnected. Larger than one frame of the maximum size.
    std::size_t maxQueuedBytes = 32u << 20;
    std::size_t maxQueuedMessages = 4096;
    // Connections served at once; one more is accepted and closed at once. 0 = no cap.
    std::size_t maxConnections = 1024;
    // A failure that repeats (accept out of descriptors, connections over the cap) is logged at
    // once, then counted; the count is logged when this window closes.
    std::chrono::milliseconds failureLogWindow{5000};
};

class RpcServer {
public:
    // (args, size): the call's arguments as one msgpack array (the request body without its name).
    // Returns the msgpack encoding of the result, or an empty string for a void method. An
    // exception is answered with [1, what()].
    using RawHandler = std::function<std::string(const char* args, std::size_t size)>;

    // Binds and listens; throws std::system_error if the address cannot be bound.
    explicit RpcServer(ServerOptions options = {});
    ~RpcServer();
    RpcServer(const RpcServer&) = delete;
    RpcServer& operator=(const RpcServer&) = delete;

    std::uint16_t port() const;

    // A second registration of a name replaces the first.
    void registerRaw(const std::string& name, RawHandler handler);
    void unregister(const std::string& name);

    // Binds a function whose parameters are decoded from the call's arguments; arguments that do
    // not decode are answered with [1, "unpack failed: Args not match!"].
    template <typename R, typename... Args>
    void bind(const std::string& name, std::function<R(Args...)> function);

    // Sends [0, key, data] (data as a msgpack string) to every connection subscribed to `key`; the
    // frame is built once and shared by their queues.
    void publish(const std::string& key, std::string_view data);

    // Connections currently open.
    std::size_t connectionCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

template <typename R, typename... Args>
void RpcServer::bind(const std::string& name, std::function<R(Args...)> function) {
    registerRaw(
        name, [function = std::move(function)](const char* args, std::size_t size) -> std::string {
            auto values = unpackAs<std::tuple<std::decay_t<Args>...>>(args, size);
            if constexpr (std::is_void_v<R>) {
                std::apply(function, std::move(values));
                return {};
            } else {
                msgpack::sbuffer buffer;
                msgpack::pack(buffer, std::apply(function, std::move(values)));
                return std::string(buffer.data(), buffer.size());
            }
        });
}

}  // namespace host::rpc
