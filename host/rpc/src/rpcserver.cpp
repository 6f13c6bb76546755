#include <host/rpc/rpcserver.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include <host/log.h>
#include <host/rpc/msgpackreader.h>
#include <host/rpc/wire.h>
#include <host/taskthread.h>

#include "acceptguard.h"
#include "channel.h"

namespace host::rpc {

namespace {

// How long the accept loop rests after running out of descriptors (or kernel buffers).
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

struct Session {
    std::shared_ptr<detail::Channel> channel;
    std::set<std::string> topics;
};

// Splits a request body [name, args...] into the name and the arguments re-framed as an array of
// their own. The array header of the arguments is written over the end of the name, in place: it
// is never longer than the body's own header, and the name takes at least one byte, so a large
// body is not copied.
bool splitRequest(std::string& body, std::string& name, std::string_view& args) {
    const auto measured = measureMsgpackObject(body.data(), body.size());
    if (!measured || *measured != body.size()) {
        return false;
    }
    try {
        MsgpackReader in(body.data(), body.size(), kDecodeBudgetFixed);
        const std::uint32_t count = in.readArrayHeader();
        const auto nameType = static_cast<unsigned char>(body[body.size() - in.remaining()]);
        if (count == 0 ||
            !((nameType >= 0xa0 && nameType <= 0xbf) || (nameType >= 0xd9 && nameType <= 0xdb))) {
            return false;
        }
        name = in.readString();
        std::string header;
        appendArrayHeader(header, count - 1);
        const std::size_t argsStart = body.size() - in.remaining() - header.size();
        header.copy(body.data() + argsStart, header.size());
        args = std::string_view(body.data() + argsStart, body.size() - argsStart);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

struct RpcServer::Impl {
    explicit Impl(ServerOptions o)
        : options(std::move(o)), work(asio::make_work_guard(io)), acceptor(io) {}

    void accept();
    void onFrame(detail::Channel* channel, const FrameHeader& header, std::string& body);
    std::string dispatch(std::string& body);
    void subscribe(detail::Channel* channel, const std::string& body);

    const ServerOptions options;
    // Runs the large requests; destroyed after the I/O thread has stopped.
    std::unique_ptr<TaskThread> worker = std::make_unique<TaskThread>();
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer acceptRetry{io};
    detail::SpareDescriptor spare;                                          // I/O thread only
    detail::ThrottledLog acceptFailures{io, options.failureLogWindow};      // I/O thread only
    detail::ThrottledLog refusedConnections{io, options.failureLogWindow};  // I/O thread only
    std::thread ioThread;
    std::uint16_t boundPort = 0;

    std::map<detail::Channel*, Session> sessions;  // I/O thread only
    std::atomic<std::size_t> openConnections{0};

    mutable std::mutex handlersMutex;
    std::unordered_map<std::string, std::shared_ptr<RawHandler>>
        handlers;  // guarded by handlersMutex
};

void RpcServer::Impl::accept() {
    acceptor.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            acceptFailures.warn("rpc server accept failed: " + error.message());
            if (error == asio::error::no_descriptors || error.value() == ENFILE ||
                error == asio::error::no_buffer_space || error == asio::error::no_memory) {
                // The connection stays in the backlog and the acceptor stays readable: accepting
                // again at once would spin. Close what cannot be served, then wait a little.
                spare.shedPending(acceptor.native_handle());
                acceptRetry.expires_after(kAcceptRetryDelay);
                acceptRetry.async_wait([this](const std::error_code& waitError) {
                    if (!waitError) {
                        accept();
                    }
                });
                return;
            }
            accept();
            return;
        }
        acceptFailures.recovered("rpc server accepts connections again");
        if (options.maxConnections > 0 && sessions.size() >= options.maxConnections) {
            refusedConnections.warn(
                fmt::format("rpc server: {} connections open, a new one refused", sessions.size()));
            std::error_code ignored;
            socket.close(ignored);
            accept();
            return;
        }
        auto channel = std::make_shared<detail::Channel>(
            std::move(socket), options.idleTimeout,
            detail::QueueLimits{options.maxQueuedBytes, options.maxQueuedMessages});
        detail::Channel* key = channel.get();
        sessions.emplace(key, Session{channel, {}});
        ++openConnections;
        channel->start([this, key](const FrameHeader& header,
                                   std::string& body) { onFrame(key, header, body); },
                       [this, key] {
                           // Deferred: the channel may be closing from inside one of its own
                           // handlers.
                           asio::post(io, [this, key] {
                               if (sessions.erase(key) > 0) {
                                   --openConnections;
                               }
                           });
                       });
        accept();
    });
}

void RpcServer::Impl::onFrame(detail::Channel* channel, const FrameHeader& header,
                              std::string& body) {
    if (header.reqType == static_cast<std::uint8_t>(RequestType::kSubscribePublish)) {
        subscribe(channel, body);
        return;
    }
    if (header.reqType != static_cast<std::uint8_t>(RequestType::kRequestResponse)) {
        TARN_LOG_WARN("rpc server: frame of unknown type {}, closing the connection",
                      header.reqType);
        channel->close();
        return;
    }
    if (header.bodyLen == 0) {
        return;  // a heartbeat: it only keeps the connection alive
    }
    if (body.size() >= options.offloadThreshold) {
        // The connection reads nothing further until the reply has left, which keeps its replies
        // in order; the body moves to the worker without a copy.
        channel->pause();
        auto held = channel->shared_from_this();
        auto request = std::make_shared<std::string>(std::move(body));
        worker->post([this, held, request, reqId = header.reqId] {
            std::string reply =
                encodeFrame(reqId, RequestType::kRequestResponse, dispatch(*request));
            std::string().swap(*request);
            asio::post(io, [held, reply = std::move(reply)]() mutable {
                held->send(std::move(reply));
                held->resume();
            });
        });
        return;
    }
    channel->send(encodeFrame(header.reqId, RequestType::kRequestResponse, dispatch(body)));
}

std::string RpcServer::Impl::dispatch(std::string& body) {
    std::string name;
    std::string_view args;
    if (!splitRequest(body, name, args)) {
        return encodeFailReply(kArgsNotMatch);
    }
    std::shared_ptr<RawHandler> handler;
    {
        std::lock_guard<std::mutex> lock(handlersMutex);
        auto it = handlers.find(name);
        if (it != handlers.end()) {
            handler = it->second;
        }
    }
    if (!handler) {
        return encodeFailReply(std::string(kUnknownFunction) + name);
    }
    try {
        const std::string result = (*handler)(args.data(), args.size());
        return result.empty() ? encodeOkReply() : encodeOkReply(result);
    } catch (const std::exception& error) {
        TARN_LOG_WARN("rpc handler {} failed: {}", name, error.what());
        return encodeFailReply(error.what());
    } catch (...) {
        TARN_LOG_WARN("rpc handler {} failed with an unknown exception", name);
        return encodeFailReply("unknown exception");
    }
}

void RpcServer::Impl::subscribe(detail::Channel* channel, const std::string& body) {
    auto session = sessions.find(channel);
    if (session == sessions.end()) {
        return;
    }
    try {
        auto handle = unpackBounded(body.data(), body.size());
        const msgpack::object& message = handle.get();
        if (message.type != msgpack::type::ARRAY || message.via.array.size < 1) {
            throwArgsNotMatch();
        }
        session->second.topics.insert(message.via.array.ptr[0].as<std::string>());
    } catch (const std::exception&) {
        TARN_LOG_WARN("rpc server: subscription that does not decode ignored");
    }
}

RpcServer::RpcServer(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(impl_->options.address),
                                           impl_->options.port);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->acceptor.non_blocking(true);  // shedding connections must never block
    impl_->boundPort = impl_->acceptor.local_endpoint().port();
    impl_->accept();
    impl_->ioThread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

RpcServer::~RpcServer() {
    asio::post(impl_->io, [impl = impl_.get()] {
        std::error_code ignored;
        impl->acceptor.close(ignored);
        impl->acceptRetry.cancel();
        impl->acceptFailures.cancel();
        impl->refusedConnections.cancel();
        auto sessions = std::move(impl->sessions);
        impl->sessions.clear();
        for (auto& [key, session] : sessions) {
            session.channel->close();
        }
        impl->io.stop();
    });
    impl_->work.reset();
    impl_->ioThread.join();
    // Runs the requests still queued (their replies go nowhere) and joins the worker.
    impl_->worker.reset();
}

std::uint16_t RpcServer::port() const {
    return impl_->boundPort;
}

void RpcServer::registerRaw(const std::string& name, RawHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->handlersMutex);
    impl_->handlers[name] = std::make_shared<RawHandler>(std::move(handler));
}

void RpcServer::unregister(const std::string& name) {
    std::lock_guard<std::mutex> lock(impl_->handlersMutex);
    impl_->handlers.erase(name);
}

void RpcServer::publish(const std::string& key, std::string_view data) {
    // [0, key, data] written straight behind the frame header: one allocation of the exact size,
    // shared by every subscriber's queue.
    msgpack::sbuffer prefix(64 + key.size());
    msgpack::packer<msgpack::sbuffer> packer(prefix);
    packer.pack_array(3);
    packer.pack(static_cast<int>(ResultCode::kOk));
    packer.pack(key);
    packer.pack_str(static_cast<std::uint32_t>(data.size()));
    const std::size_t bodySize = prefix.size() + data.size();
    if (data.size() >= kMaxBodyLen || bodySize >= kMaxBodyLen) {
        TARN_LOG_WARN("rpc server: publication of {} bytes under {} is too large, dropped",
                      bodySize, key);
        return;
    }
    std::string bytes(kHeaderSize + bodySize, '\0');
    encodeHeader({static_cast<std::uint32_t>(bodySize), 0,
                  static_cast<std::uint8_t>(RequestType::kSubscribePublish)},
                 bytes.data());
    std::memcpy(bytes.data() + kHeaderSize, prefix.data(), prefix.size());
    if (!data.empty()) {
        std::memcpy(bytes.data() + kHeaderSize + prefix.size(), data.data(), data.size());
    }
    auto frame = std::make_shared<const std::string>(std::move(bytes));
    asio::post(impl_->io, [impl = impl_.get(), key, frame] {
        for (auto& [channel, session] : impl->sessions) {
            if (session.topics.count(key) > 0) {
                session.channel->send(frame);
            }
        }
    });
}

std::size_t RpcServer::connectionCount() const {
    return impl_->openConnections;
}

}  // namespace host::rpc
