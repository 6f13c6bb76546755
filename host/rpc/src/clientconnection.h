// The client's side of one RPC connection. Unlike the server's channel, it lets a calling thread do
// the socket work of its own call: the request is written straight from the caller, and while the
// caller waits for the reply it reads the socket itself, so that a round trip costs no hand-over
// to the I/O thread and back. When no caller waits, the I/O thread reads (publications, late
// replies). Owned by shared_ptr; send() and drive() from any thread, the rest on the I/O thread.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <asio.hpp>

#include <host/rpc/wire.h>

namespace host::rpc::detail {

class ClientConnection : public std::enable_shared_from_this<ClientConnection> {
public:
    // Called with the read lock held, on the I/O thread or a driving caller: must not block and
    // must not call back into the connection except send().
    using FrameHandler = std::function<void(const FrameHeader& header, std::string& body)>;
    using CloseHandler = std::function<void()>;

    explicit ClientConnection(asio::ip::tcp::socket socket);
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // I/O thread.
    void start(FrameHandler onFrame, CloseHandler onClose);
    void close();

    // Any thread. False if the connection is closed.
    bool send(std::shared_ptr<const std::string> frame);
    // Any thread: reads and dispatches frames until `done()` holds or `deadline` passes. Only one
    // caller drives at a time; returns false at once if another one does (or the connection is
    // closed), and the caller then waits for its reply to be dispatched by the reading thread.
    bool drive(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
    bool isOpen() const;

private:
    // The reactor reports readiness by edges: data that arrived before a wait was queued would not
    // wake it, so after queuing, the descriptor is polled once and a ready one is served at once.
    void armRead();
    void readNow();
    void armWrite();
    void flushNow();
    // Requires readMutex_. Reads what the socket holds and dispatches whole frames; false when the
    // connection must close (end of stream, error, bad frame).
    bool readAvailable();
    // Requires writeMutex_. Writes queued bytes until done or the socket is full; false on error.
    bool flush();
    void failLater();
    bool ready(short events) const;

    asio::ip::tcp::socket socket_;
    const int fd_;

    mutable std::mutex readMutex_;
    std::vector<char> chunk_;   // guarded by readMutex_
    std::string input_;         // guarded by readMutex_
    std::size_t consumed_ = 0;  // guarded by readMutex_
    bool driving_ = false;      // guarded by readMutex_
    bool readArmed_ = false;    // guarded by readMutex_
    bool closed_ = false;       // guarded by readMutex_ and writeMutex_ (both held to write it)
    FrameHandler onFrame_;      // guarded by readMutex_

    mutable std::mutex writeMutex_;
    std::deque<std::shared_ptr<const std::string>> writeQueue_;  // guarded by writeMutex_
    std::size_t writeOffset_ = 0;                                // guarded by writeMutex_
    bool writeArmed_ = false;                                    // guarded by writeMutex_

    CloseHandler onClose_;  // I/O thread only
};

}  // namespace host::rpc::detail
