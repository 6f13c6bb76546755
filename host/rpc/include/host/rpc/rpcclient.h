// The host's RPC client: one TCP connection to an RPC server (wire format in <host/rpc/wire.h>),
// with its own io_context and I/O thread, synchronous calls with a time-out, heartbeats and
// subscriptions. Owned by whoever creates it (the host's RPCClientAssist); every public member
// function may be called from any thread except from a subscription handler, which runs on the I/O
// thread and must not make a synchronous call.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include <msgpack.hpp>

#include <host/rpc/boundedunpack.h>
#include <host/rpc/wire.h>

namespace host::rpc {

struct ClientOptions {
    // A heartbeat keeps an idle connection from being closed by the server's idle timeout.
    std::chrono::milliseconds heartbeatInterval{5000};
    // 0: a lost or refused connection stays down until connect() is called again.
    std::chrono::milliseconds reconnectInterval{0};
    // How long the RPC call helper waits for a reply before it reports "timeout or deferred".
    std::chrono::milliseconds callTimeout{5000};
};

class RpcClient {
public:
    // (key, data): `data[0..size)` are the bytes published under `key`; valid during the call only.
    using SubscribeHandler =
        std::function<void(const std::string& key, const char* data, std::size_t size)>;

    RpcClient(std::string host, std::uint16_t port, ClientOptions options = {});
    ~RpcClient();
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;

    // Starts a connection attempt and waits until it succeeds or fails, at most `timeout`.
    bool connect(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Starts a connection attempt and returns at once.
    void asyncConnect();
    // Closes the connection; a reconnect interval set in the options no longer applies.
    void close();

    // Set when the connection is established, cleared on error or close.
    bool has_connected() const;

    // Sends [name, args...] and waits up to TIMEOUT_MS for the reply. Throws
    //   std::out_of_range("timeout or deferred") when no reply came in time (a late one is
    //   dropped), std::logic_error(text) for a failure reply [1, text],
    //   std::invalid_argument("unpack failed: Args not match!") for a reply that does not decode,
    //   std::runtime_error when the client is not connected or the connection closes meanwhile.
    // With R = void any success reply is accepted; otherwise the value of [0, value] is returned.
    template <std::size_t TIMEOUT_MS, typename R = void, typename... Args>
    R call(const std::string& name, const Args&... args) {
        return callFor<R>(std::chrono::milliseconds(TIMEOUT_MS), name, args...);
    }
    // The same with a time-out chosen at run time.
    template <typename R = void, typename... Args>
    R callFor(std::chrono::milliseconds timeout, const std::string& name, const Args&... args);
    // The time-out of the options (ClientOptions::callTimeout).
    std::chrono::milliseconds callTimeout() const;

    // Sends [name, args...] without waiting; the reply, if any, is dropped.
    template <typename... Args>
    void notify(const std::string& name, const Args&... args);

    // The same two operations on a request body that is already encoded ([name, args...]).
    std::string callEncoded(std::string_view body, std::chrono::milliseconds timeout);
    void notifyEncoded(std::string_view body);

    // Registers `handler` for what the server publishes under `key` and tells the server (again
    // after every reconnect). A second subscription of a key replaces the handler.
    void subscribe(const std::string& key, SubscribeHandler handler, const std::string& token = {});
    // Stops delivering `key` locally; the wire has no unsubscribe message.
    void unsubscribe(const std::string& key);

    // The id the next request will carry (ids start at 1 and are never reused).
    std::uint64_t nextRequestId() const;

private:
    template <typename... Args>
    static std::string encodeRequest(const std::string& name, const Args&... args);
    // Sends a frame whose 13-byte header is still to be filled in.
    std::string callFrame(std::string frame, std::chrono::milliseconds timeout);
    void notifyFrame(std::string frame);
    static void checkReply(const std::string& body);
    static msgpack::object_handle replyValue(const std::string& body);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

template <typename... Args>
std::string RpcClient::encodeRequest(const std::string& name, const Args&... args) {
    // Room for the frame header in front, so that the body is never copied again.
    msgpack::sbuffer buffer(2048);
    const char header[kHeaderSize] = {};
    buffer.write(header, kHeaderSize);
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(static_cast<std::uint32_t>(1 + sizeof...(Args)));
    packer.pack(name);
    (packer.pack(args), ...);
    return std::string(buffer.data(), buffer.size());
}

template <typename R, typename... Args>
R RpcClient::callFor(std::chrono::milliseconds timeout, const std::string& name,
                     const Args&... args) {
    const std::string reply = callFrame(encodeRequest(name, args...), timeout);
    if constexpr (std::is_void_v<R>) {
        checkReply(reply);
    } else {
        auto handle = replyValue(reply);
        try {
            return handle.get().as<R>();
        } catch (const std::exception&) {
            throwArgsNotMatch();
        }
    }
}

template <typename... Args>
void RpcClient::notify(const std::string& name, const Args&... args) {
    notifyFrame(encodeRequest(name, args...));
}

}  // namespace host::rpc
