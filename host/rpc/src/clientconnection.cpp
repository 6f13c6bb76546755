#include "clientconnection.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <host/log.h>

namespace host::rpc::detail {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// A driving caller re-checks its condition at least this often (e.g. after a close elsewhere).
constexpr std::chrono::milliseconds kPollSlice(20);

int newEpollSet() {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::system_category(), "rpc client: epoll_create1");
    }
    return fd;
}

timeval asTimeval(std::chrono::milliseconds duration) {
    return timeval{static_cast<time_t>(duration.count() / 1000),
                   static_cast<suseconds_t>(duration.count() % 1000 * 1000)};
}

// Blocking, so that a driving caller waits for its reply in recv() itself (one system call where
// a poll and a read would take two), at most one slice at a time; the I/O thread passes
// MSG_DONTWAIT.
int takeDescriptor(asio::ip::tcp::socket& socket) {
    std::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    const int fd = socket.release();
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const timeval slice = asTimeval(kPollSlice);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    return fd;
}

}  // namespace

ClientConnection::ClientConnection(asio::ip::tcp::socket socket)
    : poller_(socket.get_executor(), newEpollSet()),
      pollerFd_(poller_.native_handle()),
      fd_(takeDescriptor(socket)),
      chunk_(kReadChunk),
      receiveTimeout_(kPollSlice) {
    // Registered with no interest: start() arms it.
    epoll_event event{};
    event.events = EPOLLONESHOT;
    event.data.fd = fd_;
    if (::epoll_ctl(pollerFd_, EPOLL_CTL_ADD, fd_, &event) != 0) {
        const int error = errno;
        ::close(fd_);
        throw std::system_error(error, std::system_category(), "rpc client: epoll_ctl");
    }
}

ClientConnection::~ClientConnection() {
    ::close(fd_);
}

void ClientConnection::start(FrameHandler onFrame, CloseHandler onClose) {
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        onFrame_ = std::move(onFrame);
    }
    onClose_ = std::move(onClose);
    watch();
    setReadInterest(true);
}

bool ClientConnection::isOpen() const {
    std::lock_guard<std::mutex> lock(writeMutex_);
    return !closed_;
}

void ClientConnection::close() {
    {
        std::scoped_lock lock(readMutex_, writeMutex_);
        if (closed_) {
            return;
        }
        closed_ = true;
        onFrame_ = nullptr;
        writeQueue_.clear();
        // Wakes a caller that polls the descriptor.
        ::shutdown(fd_, SHUT_RDWR);
    }
    {
        std::lock_guard<std::mutex> lock(interestMutex_);
        pollerOpen_ = false;
    }
    std::error_code ignored;
    poller_.close(ignored);
    auto onClose = std::move(onClose_);
    onClose_ = nullptr;
    if (onClose) {
        onClose();
    }
}

void ClientConnection::applyInterest() {
    if (!pollerOpen_) {
        return;
    }
    const std::uint32_t wanted =
        (readWanted_ ? EPOLLIN | EPOLLRDHUP : 0u) | (writeWanted_ ? EPOLLOUT : 0u);
    if (wanted == armed_) {
        return;
    }
    epoll_event event{};
    event.events = wanted | EPOLLONESHOT;
    event.data.fd = fd_;
    if (::epoll_ctl(pollerFd_, EPOLL_CTL_MOD, fd_, &event) == 0) {
        armed_ = wanted;
    }
}

void ClientConnection::setReadInterest(bool wanted) {
    std::lock_guard<std::mutex> lock(interestMutex_);
    readWanted_ = wanted;
    applyInterest();
}

void ClientConnection::setWriteInterest(bool wanted) {
    std::lock_guard<std::mutex> lock(interestMutex_);
    writeWanted_ = wanted;
    applyInterest();
}

void ClientConnection::watch() {
    poller_.async_wait(asio::posix::stream_descriptor::wait_read,
                       [self = shared_from_this()](const std::error_code& error) {
                           if (!error) {
                               self->onPollerReady();
                           }
                       });
}

void ClientConnection::onPollerReady() {
    // Queued before the set is read: an event that comes while this one is served wakes it again.
    watch();
    epoll_event event{};
    {
        std::lock_guard<std::mutex> lock(interestMutex_);
        if (!pollerOpen_ || ::epoll_wait(pollerFd_, &event, 1, 0) != 1) {
            return;
        }
        armed_ = 0;  // one event disarms the descriptor
    }
    if ((event.events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0) {
        readNow();
    }
    if ((event.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
        flushNow();
    }
    std::lock_guard<std::mutex> lock(interestMutex_);
    applyInterest();
}

bool ClientConnection::send(std::shared_ptr<const std::string> frame) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (closed_) {
        return false;
    }
    const bool idle = writeQueue_.empty();
    writeQueue_.push_back(std::move(frame));
    if (!idle) {
        return true;  // the I/O thread is flushing; this frame leaves after the earlier ones
    }
    if (!flush()) {
        failLater();
        return true;
    }
    if (!writeQueue_.empty()) {
        setWriteInterest(true);
    }
    return true;
}

bool ClientConnection::flush() {
    while (!writeQueue_.empty()) {
        const std::string& frame = *writeQueue_.front();
        const ssize_t n = ::send(fd_, frame.data() + writeOffset_, frame.size() - writeOffset_,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        writeOffset_ += static_cast<std::size_t>(n);
        if (writeOffset_ == frame.size()) {
            writeQueue_.pop_front();
            writeOffset_ = 0;
        }
    }
    return true;
}

void ClientConnection::flushNow() {
    std::unique_lock<std::mutex> lock(writeMutex_);
    if (closed_) {
        return;
    }
    if (!flush()) {
        lock.unlock();
        close();
        return;
    }
    setWriteInterest(!writeQueue_.empty());
}

void ClientConnection::readNow() {
    bool ok = true;
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        if (closed_ || driving_) {
            return;  // a caller reads; it sees the end of the stream too
        }
        ok = readAvailable();
    }
    if (!ok) {
        close();
    }
}

bool ClientConnection::sendAndDrive(std::shared_ptr<const std::string> frame,
                                    const std::function<bool()>& done,
                                    std::chrono::steady_clock::time_point deadline) {
    bool drives = false;
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        if (closed_) {
            return false;
        }
        drives = !driving_;
        if (drives) {
            driving_ = true;
            // Before the request leaves, so that its reply cannot wake the I/O thread.
            setReadInterest(false);
        }
    }
    const bool sent = send(std::move(frame));
    while (drives && sent && !done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) {
            break;
        }
        // Rounded up so that the last slice does not end before the deadline.
        const auto slice = std::min(left + std::chrono::milliseconds(1), kPollSlice);
        if (slice != receiveTimeout_) {
            const timeval value = asTimeval(slice);
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
            receiveTimeout_ = slice;
        }
        // The reading caller owns the buffer without the lock, so that a caller waiting behind
        // it is not held up for a slice.
        const ssize_t n = ::recv(fd_, chunk_.data(), chunk_.size(), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        std::lock_guard<std::mutex> lock(readMutex_);
        if (closed_) {
            break;
        }
        if (n <= 0 || !dispatch(static_cast<std::size_t>(n))) {
            failLater();
            break;
        }
    }
    if (drives) {
        std::lock_guard<std::mutex> lock(readMutex_);
        driving_ = false;
        // Whatever came after the last read wakes the I/O thread as soon as it is armed again.
        setReadInterest(true);
    }
    return sent;
}

bool ClientConnection::readAvailable() {
    // Bounded so that a peer that never stops sending cannot hold the I/O thread; what is left
    // wakes it again.
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::recv(fd_, chunk_.data(), chunk_.size(), MSG_DONTWAIT);
        if (n == 0) {
            return false;  // the peer closed
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (!dispatch(static_cast<std::size_t>(n))) {
            return false;
        }
        if (static_cast<std::size_t>(n) < chunk_.size()) {
            break;  // the socket is drained; no second read to learn it
        }
    }
    return true;
}

bool ClientConnection::dispatch(std::size_t received) {
    input_.append(chunk_.data(), received);
    // Dispatch every whole frame; a partial one waits for more bytes. The buffer never holds
    // more than one frame (< kMaxBodyLen) plus one chunk.
    while (input_.size() - consumed_ >= kHeaderSize) {
        const FrameHeader header = decodeHeader(input_.data() + consumed_);
        if (header.bodyLen >= kMaxBodyLen) {
            TARN_LOG_WARN("rpc frame of {} bytes refused, closing the connection", header.bodyLen);
            return false;
        }
        if (input_.size() - consumed_ < kHeaderSize + header.bodyLen) {
            break;
        }
        std::string body = input_.substr(consumed_ + kHeaderSize, header.bodyLen);
        consumed_ += kHeaderSize + header.bodyLen;
        if (header.reqType != static_cast<std::uint8_t>(RequestType::kRequestResponse) &&
            header.reqType != static_cast<std::uint8_t>(RequestType::kSubscribePublish)) {
            TARN_LOG_WARN("rpc client: frame of unknown type {}, closing the connection",
                          header.reqType);
            return false;
        }
        if (onFrame_) {
            onFrame_(header, body);
        }
    }
    input_.erase(0, consumed_);
    consumed_ = 0;
    return true;
}

void ClientConnection::failLater() {
    asio::post(poller_.get_executor(), [self = shared_from_this()] { self->close(); });
}

}  // namespace host::rpc::detail
