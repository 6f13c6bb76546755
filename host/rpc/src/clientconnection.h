// The client's side of one RPC connection. Unlike the server's channel, it lets a calling thread do
// the socket work of its own call: the request is written straight from the caller, and while the
// caller waits for the reply it reads the socket itself. While a caller reads, the I/O thread does
// not watch the socket at all (it watches a private epoll set whose read interest the caller turns
// off), so a round trip wakes no other thread. When no caller reads, the I/O thread does
// (publications, late replies, replies of callers that wait behind another one).
// Owned by shared_ptr; send() and sendAndDrive() from any thread, the rest on the I/O thread.
#pragma once

#include <chrono>
#include <cstdint>
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

    // Takes the connected socket's descriptor; throws std::system_error if no epoll set is left.
    explicit ClientConnection(asio::ip::tcp::socket socket);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // I/O thread.
    void start(FrameHandler onFrame, CloseHandler onClose);
    void close();

    // Any thread. False if the connection is closed.
    bool send(std::shared_ptr<const std::string> frame);
    // Any thread: sends `frame`, then reads and dispatches frames until `done()` holds or
    // `deadline` passes. Only one caller reads at a time; while another one does, this one only
    // sends, and its reply is dispatched by whoever reads. False if the connection is closed.
    bool sendAndDrive(std::shared_ptr<const std::string> frame, const std::function<bool()>& done,
                      std::chrono::steady_clock::time_point deadline);
    bool isOpen() const;

private:
    void watch();
    void onPollerReady();
    void readNow();
    void flushNow();
    // Require interestMutex_. What the I/O thread is to be woken for; the kernel reports one event
    // and then waits to be re-armed, so that a hang-up seen while a caller reads cannot spin.
    void applyInterest();
    void setReadInterest(bool wanted);
    void setWriteInterest(bool wanted);
    // Requires readMutex_. Reads what the socket holds and dispatches whole frames; false when the
    // connection must close (end of stream, error, bad frame).
    bool readAvailable();
    // Requires readMutex_. Dispatches the whole frames of `received` more bytes in chunk_; false
    // for a frame that closes the connection.
    bool dispatch(std::size_t received);
    // Requires writeMutex_. Writes queued bytes until done or the socket is full; false on error.
    bool flush();
    void failLater();

    asio::posix::stream_descriptor poller_;  // the epoll set watching fd_, I/O thread only
    const int pollerFd_;
    const int fd_;  // closed by the destructor only, so that a caller's poll never sees it reused

    mutable std::mutex readMutex_;
    // Owned by the reader: the driving caller, or the I/O thread under readMutex_.
    std::vector<char> chunk_;
    std::chrono::milliseconds receiveTimeout_;  // owned by the reader like chunk_
    std::string input_;                         // guarded by readMutex_
    std::size_t consumed_ = 0;                  // guarded by readMutex_
    bool driving_ = false;                      // guarded by readMutex_
    bool closed_ = false;   // guarded by readMutex_ and writeMutex_ (both held to write it)
    FrameHandler onFrame_;  // guarded by readMutex_

    mutable std::mutex writeMutex_;
    std::deque<std::shared_ptr<const std::string>> writeQueue_;  // guarded by writeMutex_
    std::size_t writeOffset_ = 0;                                // guarded by writeMutex_

    std::mutex interestMutex_;  // taken after readMutex_ or writeMutex_, never before
    bool readWanted_ = false;   // guarded by interestMutex_; set under readMutex_ too
    bool writeWanted_ = false;  // guarded by interestMutex_
    std::uint32_t armed_ = 0;   // guarded by interestMutex_; events armed in the kernel
    bool pollerOpen_ = true;    // guarded by interestMutex_

    CloseHandler onClose_;  // I/O thread only
};

}  // namespace host::rpc::detail
