#include <host/rpc/rpcclient.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <host/log.h>

#include "clientconnection.h"

namespace host::rpc {

namespace {

// One call waiting for its reply: filled in by whichever thread reads the reply (the caller
// itself, another caller, or the I/O thread).
class Reply {
public:
    void succeed(std::string body) { finish(std::move(body), false); }
    void fail(std::string why) { finish(std::move(why), true); }
    bool done() {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_;
    }
    bool waitUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return doneCv_.wait_until(lock, deadline, [this] { return done_; });
    }
    // After done(): the reply's body; throws std::runtime_error if the call failed.
    std::string take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_) {
            throw std::runtime_error(text_);
        }
        return std::move(text_);
    }

private:
    void finish(std::string text, bool failed) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            text_ = std::move(text);
            failed_ = failed;
            done_ = true;
        }
        doneCv_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable doneCv_;
    bool done_ = false;    // guarded by mutex_
    bool failed_ = false;  // guarded by mutex_
    std::string text_;     // guarded by mutex_; the reply's body, or why the call failed
};

struct Subscription {
    std::string token;
    std::shared_ptr<RpcClient::SubscribeHandler> handler;
};

std::string subscribeFrame(const std::string& key, const std::string& token) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(2);
    packer.pack(key);
    packer.pack(token);
    return encodeFrame(0, RequestType::kSubscribePublish,
                       std::string_view(buffer.data(), buffer.size()));
}

}  // namespace

struct RpcClient::Impl {
    Impl(std::string h, std::uint16_t p, ClientOptions o)
        : host(std::move(h)),
          port(p),
          options(o),
          work(asio::make_work_guard(io)),
          heartbeatTimer(io),
          reconnectTimer(io) {}

    void startConnect();
    void onConnected(asio::ip::tcp::socket socket);
    void onAttemptFailed(const std::error_code& error);
    void onClosed();
    void onFrame(const FrameHeader& header, std::string& body);
    void onPublish(const std::string& body);
    std::shared_ptr<detail::ClientConnection> connection();
    void armHeartbeat();
    void scheduleReconnect();
    void finishAttempt();
    void failAllPending(const char* why);
    void shutdown();

    const std::string host;
    const std::uint16_t port;
    const ClientOptions options;

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::thread ioThread;

    std::mutex channelMutex;
    std::shared_ptr<detail::ClientConnection>
        channel;  // guarded by channelMutex; set on I/O thread
    asio::steady_timer heartbeatTimer;
    asio::steady_timer reconnectTimer;
    bool connecting = false;
    bool closedByUser = false;

    std::atomic<bool> connected{false};
    std::atomic<std::uint64_t> nextId{1};

    std::mutex pendingMutex;
    std::unordered_map<std::uint64_t, std::shared_ptr<Reply>> pending;  // guarded by pendingMutex

    std::mutex subscriptionMutex;
    std::map<std::string, Subscription> subscriptions;  // guarded by subscriptionMutex

    std::mutex attemptMutex;
    std::condition_variable attemptDone;
    std::uint64_t attemptsFinished = 0;  // guarded by attemptMutex
};

std::shared_ptr<detail::ClientConnection> RpcClient::Impl::connection() {
    std::lock_guard<std::mutex> lock(channelMutex);
    return channel;
}

void RpcClient::Impl::startConnect() {
    if (connecting) {
        return;  // the attempt under way reports for this one too
    }
    auto current = connection();
    if (current && current->isOpen()) {
        finishAttempt();
        return;
    }
    std::error_code error;
    const auto address = asio::ip::make_address(host, error);
    if (error) {
        TARN_LOG_WARN("rpc client: {} is not an IP address", host);
        onAttemptFailed(error);
        return;
    }
    connecting = true;
    auto socket = std::make_shared<asio::ip::tcp::socket>(io);
    socket->async_connect({address, port}, [this, socket](const std::error_code& result) {
        connecting = false;
        if (result || closedByUser) {
            onAttemptFailed(result ? result : asio::error::operation_aborted);
            return;
        }
        onConnected(std::move(*socket));
    });
}

void RpcClient::Impl::onConnected(asio::ip::tcp::socket socket) {
    std::shared_ptr<detail::ClientConnection> fresh;
    try {
        fresh = std::make_shared<detail::ClientConnection>(std::move(socket));
    } catch (const std::system_error& error) {
        onAttemptFailed(error.code());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(channelMutex);
        channel = fresh;
    }
    fresh->start([this](const FrameHeader& header, std::string& body) { onFrame(header, body); },
                 [this] { onClosed(); });
    {
        std::lock_guard<std::mutex> lock(subscriptionMutex);
        for (const auto& [key, subscription] : subscriptions) {
            fresh->send(
                std::make_shared<const std::string>(subscribeFrame(key, subscription.token)));
        }
    }
    connected = true;
    armHeartbeat();
    TARN_LOG_INFO("rpc client connected to {}:{}", host, port);
    finishAttempt();
}

void RpcClient::Impl::onAttemptFailed(const std::error_code& error) {
    TARN_LOG_INFO("rpc client could not connect to {}:{}: {}", host, port, error.message());
    finishAttempt();
    scheduleReconnect();
}

void RpcClient::Impl::onClosed() {
    connected = false;
    heartbeatTimer.cancel();
    failAllPending("rpc connection closed");
    if (!closedByUser) {
        TARN_LOG_INFO("rpc client lost its connection to {}:{}", host, port);
    }
    scheduleReconnect();
}

void RpcClient::Impl::onFrame(const FrameHeader& header, std::string& body) {
    if (header.reqType == static_cast<std::uint8_t>(RequestType::kSubscribePublish)) {
        // Subscription handlers always run on the I/O thread, never on a calling thread.
        asio::post(io, [this, body = std::move(body)] { onPublish(body); });
        return;
    }
    if (header.bodyLen == 0) {
        return;  // a heartbeat
    }
    std::shared_ptr<Reply> reply;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        auto it = pending.find(header.reqId);
        if (it == pending.end()) {
            return;  // late reply to a call that timed out, or an id never sent: dropped
        }
        reply = std::move(it->second);
        pending.erase(it);
    }
    reply->succeed(std::move(body));
}

void RpcClient::Impl::onPublish(const std::string& body) {
    std::string key;
    std::string data;
    try {
        auto handle = unpackBounded(body.data(), body.size());
        const msgpack::object& message = handle.get();
        if (message.type != msgpack::type::ARRAY || message.via.array.size < 3) {
            throwArgsNotMatch();
        }
        key = message.via.array.ptr[1].as<std::string>();
        data = message.via.array.ptr[2].as<std::string>();
    } catch (const std::exception&) {
        TARN_LOG_WARN("rpc client: publication that does not decode dropped");
        return;
    }
    std::shared_ptr<SubscribeHandler> handler;
    {
        std::lock_guard<std::mutex> lock(subscriptionMutex);
        auto it = subscriptions.find(key);
        if (it == subscriptions.end()) {
            return;
        }
        handler = it->second.handler;
    }
    try {
        (*handler)(key, data.data(), data.size());
    } catch (const std::exception& error) {
        TARN_LOG_ERROR("rpc client: subscription handler of {} failed: {}", key, error.what());
    }
}

void RpcClient::Impl::armHeartbeat() {
    if (options.heartbeatInterval.count() <= 0) {
        return;
    }
    heartbeatTimer.expires_after(options.heartbeatInterval);
    heartbeatTimer.async_wait([this](const std::error_code& error) {
        auto current = connection();
        if (error || !current ||
            !current->send(std::make_shared<const std::string>(
                encodeFrame(0, RequestType::kRequestResponse, {})))) {
            return;
        }
        armHeartbeat();
    });
}

void RpcClient::Impl::scheduleReconnect() {
    if (closedByUser || options.reconnectInterval.count() <= 0) {
        return;
    }
    reconnectTimer.expires_after(options.reconnectInterval);
    reconnectTimer.async_wait([this](const std::error_code& error) {
        if (!error && !closedByUser) {
            startConnect();
        }
    });
}

void RpcClient::Impl::finishAttempt() {
    {
        std::lock_guard<std::mutex> lock(attemptMutex);
        ++attemptsFinished;
    }
    attemptDone.notify_all();
}

void RpcClient::Impl::failAllPending(const char* why) {
    std::unordered_map<std::uint64_t, std::shared_ptr<Reply>> failed;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        failed.swap(pending);
    }
    for (auto& [id, reply] : failed) {
        reply->fail(why);
    }
}

void RpcClient::Impl::shutdown() {
    asio::post(io, [this] {
        closedByUser = true;
        reconnectTimer.cancel();
        heartbeatTimer.cancel();
        if (auto current = connection()) {
            current->close();
        }
        {
            std::lock_guard<std::mutex> lock(channelMutex);
            channel.reset();
        }
        io.stop();
    });
    work.reset();
    if (ioThread.joinable()) {
        ioThread.join();
    }
    connected = false;
    failAllPending("rpc client destroyed");
}

RpcClient::RpcClient(std::string host, std::uint16_t port, ClientOptions options)
    : impl_(std::make_unique<Impl>(std::move(host), port, options)) {
    impl_->ioThread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

RpcClient::~RpcClient() {
    impl_->shutdown();
}

bool RpcClient::connect(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->attemptMutex);
    const std::uint64_t before = impl_->attemptsFinished;
    asio::post(impl_->io, [impl = impl_.get()] {
        impl->closedByUser = false;
        impl->startConnect();
    });
    impl_->attemptDone.wait_for(lock, timeout, [&] { return impl_->attemptsFinished != before; });
    return impl_->connected;
}

void RpcClient::asyncConnect() {
    asio::post(impl_->io, [impl = impl_.get()] {
        impl->closedByUser = false;
        impl->startConnect();
    });
}

void RpcClient::close() {
    std::promise<void> done;
    auto closed = done.get_future();
    asio::post(impl_->io, [impl = impl_.get(), &done] {
        impl->closedByUser = true;
        impl->reconnectTimer.cancel();
        if (auto current = impl->connection()) {
            current->close();
        }
        {
            std::lock_guard<std::mutex> lock(impl->channelMutex);
            impl->channel.reset();
        }
        done.set_value();
    });
    closed.wait();
}

bool RpcClient::has_connected() const {
    return impl_->connected;
}

std::chrono::milliseconds RpcClient::callTimeout() const {
    return impl_->options.callTimeout;
}

std::uint64_t RpcClient::nextRequestId() const {
    return impl_->nextId;
}

std::string RpcClient::callEncoded(std::string_view body, std::chrono::milliseconds timeout) {
    std::string frame(kHeaderSize, '\0');
    frame.append(body);
    return callFrame(std::move(frame), timeout);
}

void RpcClient::notifyEncoded(std::string_view body) {
    std::string frame(kHeaderSize, '\0');
    frame.append(body);
    notifyFrame(std::move(frame));
}

std::string RpcClient::callFrame(std::string frame, std::chrono::milliseconds timeout) {
    if (!impl_->connected) {
        throw std::runtime_error("rpc client is not connected");
    }
    if (frame.size() - kHeaderSize >= kMaxBodyLen) {
        throw std::length_error("rpc request too large");
    }
    const std::uint64_t id = impl_->nextId++;
    encodeHeader({static_cast<std::uint32_t>(frame.size() - kHeaderSize), id,
                  static_cast<std::uint8_t>(RequestType::kRequestResponse)},
                 frame.data());
    auto reply = std::make_shared<Reply>();
    {
        std::lock_guard<std::mutex> lock(impl_->pendingMutex);
        impl_->pending.emplace(id, reply);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto current = impl_->connection();
    // Reads the reply on this thread rather than wait for the I/O thread to hand it over.
    if (!current || !current->sendAndDrive(
                        std::make_shared<const std::string>(std::move(frame)),
                        [&reply] { return reply->done(); }, deadline)) {
        std::lock_guard<std::mutex> lock(impl_->pendingMutex);
        impl_->pending.erase(id);
        throw std::runtime_error("rpc client is not connected");
    }
    // The connection may have closed meanwhile: the I/O thread then fails the call shortly.
    if (!reply->waitUntil(deadline)) {
        // The id stays registered so that a late reply finds it and is dropped there.
        throw std::out_of_range(std::string(kTimeoutOrDeferred));
    }
    return reply->take();
}

void RpcClient::notifyFrame(std::string frame) {
    if (!impl_->connected) {
        throw std::runtime_error("rpc client is not connected");
    }
    if (frame.size() - kHeaderSize >= kMaxBodyLen) {
        throw std::length_error("rpc request too large");
    }
    encodeHeader({static_cast<std::uint32_t>(frame.size() - kHeaderSize), impl_->nextId++,
                  static_cast<std::uint8_t>(RequestType::kRequestResponse)},
                 frame.data());
    auto current = impl_->connection();
    if (!current || !current->send(std::make_shared<const std::string>(std::move(frame)))) {
        throw std::runtime_error("rpc client is not connected");
    }
}

void RpcClient::subscribe(const std::string& key, SubscribeHandler handler,
                          const std::string& token) {
    {
        std::lock_guard<std::mutex> lock(impl_->subscriptionMutex);
        impl_->subscriptions[key] =
            Subscription{token, std::make_shared<SubscribeHandler>(std::move(handler))};
    }
    if (auto current = impl_->connection()) {
        current->send(std::make_shared<const std::string>(subscribeFrame(key, token)));
    }
}

void RpcClient::unsubscribe(const std::string& key) {
    std::lock_guard<std::mutex> lock(impl_->subscriptionMutex);
    impl_->subscriptions.erase(key);
}

void RpcClient::checkReply(const std::string& body) {
    replyValue(body);
}

msgpack::object_handle RpcClient::replyValue(const std::string& body) {
    auto handle = unpackBounded(body.data(), body.size());
    const msgpack::object& reply = handle.get();
    if (reply.type != msgpack::type::ARRAY || reply.via.array.size == 0 ||
        reply.via.array.ptr[0].type != msgpack::type::POSITIVE_INTEGER) {
        throwArgsNotMatch();
    }
    const auto code = reply.via.array.ptr[0].via.u64;
    if (code == static_cast<std::uint64_t>(ResultCode::kFail)) {
        if (reply.via.array.size < 2 || reply.via.array.ptr[1].type != msgpack::type::STR) {
            throwArgsNotMatch();
        }
        throw std::logic_error(reply.via.array.ptr[1].as<std::string>());
    }
    if (code != static_cast<std::uint64_t>(ResultCode::kOk)) {
        throwArgsNotMatch();
    }
    if (reply.via.array.size < 2) {
        return msgpack::object_handle(msgpack::object(), std::move(handle.zone()));
    }
    return msgpack::object_handle(reply.via.array.ptr[1], std::move(handle.zone()));
}

}  // namespace host::rpc
