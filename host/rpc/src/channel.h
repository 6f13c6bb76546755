// One framed TCP connection of the RPC layer (client or server side): reads frames one after the
// other, queues writes so that frames leave whole and in order, and closes itself on a bad frame or
// after an idle period. Owned by shared_ptr (pending operations keep it alive); every member
// function must be called on the I/O thread of the socket's io_context.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <asio.hpp>

#include <host/rpc/wire.h>

namespace host::rpc::detail {

class Channel : public std::enable_shared_from_this<Channel> {
public:
    using FrameHandler = std::function<void(const FrameHeader& header, std::string& body)>;
    using CloseHandler = std::function<void()>;

    // `idleTimeout` 0 means never close for silence.
    Channel(asio::ip::tcp::socket socket, std::chrono::milliseconds idleTimeout);
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void start(FrameHandler onFrame, CloseHandler onClose);
    void send(std::shared_ptr<const std::string> frame);
    void send(std::string frame) { send(std::make_shared<const std::string>(std::move(frame))); }
    // Idempotent; runs the close handler once, then drops both handlers (they may own our owner).
    void close();
    bool isOpen() const { return !closed_; }

private:
    void readHeader();
    void readBody(const FrameHeader& header);
    void deliver(const FrameHeader& header);
    void writeNext();
    void armIdleTimer(std::chrono::steady_clock::time_point deadline);
    void fail(const char* what, const std::error_code& error);

    asio::ip::tcp::socket socket_;
    asio::steady_timer idleTimer_;
    const std::chrono::milliseconds idleTimeout_;
    std::chrono::steady_clock::time_point lastReceived_;
    std::array<char, kHeaderSize> header_{};
    std::string body_;
    std::deque<std::shared_ptr<const std::string>> writeQueue_;
    bool closed_ = false;
    FrameHandler onFrame_;
    CloseHandler onClose_;
};

}  // namespace host::rpc::detail
