// One framed TCP connection of the RPC layer (client or server side): reads whatever the socket
// holds and hands on every whole frame in it, writes a frame straight away when nothing is queued
// (queuing the rest so that frames leave whole and in order, up to a bound: a peer that does not
// read is disconnected), and closes itself on a bad frame or after an idle period. Owned by
// shared_ptr (pending operations keep it alive); every member function must be called on the I/O
// thread of the socket's io_context.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <asio.hpp>

#include <host/rpc/wire.h>

namespace host::rpc::detail {

// What may wait to be written before the peer counts as fallen behind and is disconnected.
struct QueueLimits {
    std::size_t bytes = 32u << 20;
    std::size_t messages = 4096;
};

class Channel : public std::enable_shared_from_this<Channel> {
public:
    using FrameHandler = std::function<void(const FrameHeader& header, std::string& body)>;
    using CloseHandler = std::function<void()>;

    // `idleTimeout` 0 means never close for silence.
    Channel(asio::ip::tcp::socket socket, std::chrono::milliseconds idleTimeout,
            QueueLimits limits = {});
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void start(FrameHandler onFrame, CloseHandler onClose);
    void send(std::shared_ptr<const std::string> frame);
    void send(std::string frame) { send(std::make_shared<const std::string>(std::move(frame))); }
    // Idempotent; runs the close handler once, then drops both handlers (they may own our owner).
    void close();
    bool isOpen() const { return !closed_; }
    // While paused, no further frame is handed on and nothing more is read (the peer's data waits
    // in the socket); resume() hands on what is buffered and reads again. Called from a frame
    // handler (pause) and later from the I/O thread (resume).
    void pause() { paused_ = true; }
    void resume();

private:
    void readMore();
    // Hands on every whole frame in input_; false when the connection was closed or paused
    // meanwhile (no read is to be started then).
    bool deliverBuffered();
    void writeNext();
    // Queues a frame, or closes the connection if the queue would break its limits.
    void enqueue(std::shared_ptr<const std::string> frame);
    void armIdleTimer(std::chrono::steady_clock::time_point deadline);
    void fail(const char* what, const std::error_code& error);

    asio::ip::tcp::socket socket_;
    asio::steady_timer idleTimer_;
    const std::chrono::milliseconds idleTimeout_;
    std::chrono::steady_clock::time_point lastReceived_;
    std::string input_;  // received bytes; only the first `inputUsed_` are valid
    std::size_t inputUsed_ = 0;
    std::string body_;  // the frame being handed on, its capacity reused
    std::deque<std::shared_ptr<const std::string>> writeQueue_;
    std::size_t writeOffset_ = 0;  // bytes of writeQueue_.front() already written
    std::size_t queuedBytes_ = 0;  // sum of the sizes in writeQueue_
    const QueueLimits limits_;
    bool closed_ = false;
    bool paused_ = false;
    FrameHandler onFrame_;
    CloseHandler onClose_;
};

}  // namespace host::rpc::detail
