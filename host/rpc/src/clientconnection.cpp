#include "clientconnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include <host/log.h>

namespace host::rpc::detail {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// A driving caller re-checks its condition at least this often (e.g. after a close elsewhere).
constexpr std::chrono::milliseconds kPollSlice(20);

}  // namespace

ClientConnection::ClientConnection(asio::ip::tcp::socket socket)
    : socket_(std::move(socket)), fd_(socket_.native_handle()), chunk_(kReadChunk) {
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    socket_.native_non_blocking(true, ignored);
}

void ClientConnection::start(FrameHandler onFrame, CloseHandler onClose) {
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        onFrame_ = std::move(onFrame);
    }
    onClose_ = std::move(onClose);
    armRead();
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
        // Wakes a caller that polls the descriptor before it is closed.
        ::shutdown(fd_, SHUT_RDWR);
        std::error_code ignored;
        socket_.close(ignored);
    }
    auto onClose = std::move(onClose_);
    onClose_ = nullptr;
    if (onClose) {
        onClose();
    }
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
    if (!writeQueue_.empty() && !writeArmed_) {
        writeArmed_ = true;
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->armWrite(); });
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

bool ClientConnection::ready(short events) const {
    pollfd descriptor{fd_, events, 0};
    return ::poll(&descriptor, 1, 0) > 0;
}

void ClientConnection::armWrite() {
    socket_.async_wait(asio::socket_base::wait_write,
                       [self = shared_from_this()](const std::error_code& error) {
                           {
                               std::lock_guard<std::mutex> lock(self->writeMutex_);
                               self->writeArmed_ = false;
                           }
                           if (!error) {
                               self->flushNow();
                           }
                       });
    if (ready(POLLOUT)) {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->flushNow(); });
    }
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
    if (!writeQueue_.empty() && !writeArmed_) {
        writeArmed_ = true;
        lock.unlock();
        armWrite();
    }
}

void ClientConnection::armRead() {
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        // Stays armed while a caller drives too: re-arming after every call would wake this
        // thread once more per call.
        if (closed_ || readArmed_) {
            return;
        }
        readArmed_ = true;
    }
    socket_.async_wait(asio::socket_base::wait_read,
                       [self = shared_from_this()](const std::error_code& error) {
                           {
                               std::lock_guard<std::mutex> lock(self->readMutex_);
                               self->readArmed_ = false;
                           }
                           if (!error) {
                               self->readNow();
                               self->armRead();
                           }
                       });
    if (ready(POLLIN)) {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->readNow(); });
    }
}

void ClientConnection::readNow() {
    bool ok = true;
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        if (closed_ || driving_) {
            return;
        }
        ok = readAvailable();
    }
    if (!ok) {
        close();
    }
}

bool ClientConnection::drive(const std::function<bool()>& done,
                             std::chrono::steady_clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        if (closed_ || driving_) {
            return false;
        }
        driving_ = true;
    }
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) {
            break;
        }
        pollfd descriptor{fd_, POLLIN, 0};
        // Rounded up so that the last slice does not end before the deadline.
        const int slice = static_cast<int>(std::min(left, kPollSlice).count()) + 1;
        if (::poll(&descriptor, 1, slice) <= 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(readMutex_);
        if (closed_) {
            break;
        }
        if (!readAvailable()) {
            failLater();
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(readMutex_);
        driving_ = false;
    }
    // Bytes that came after the caller's last read found the wait armed but skipped by readNow();
    // they are served here. Later ones wake the armed wait.
    if (ready(POLLIN)) {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->readNow(); });
    }
    return true;
}

bool ClientConnection::readAvailable() {
    // Bounded so that a peer that never stops sending cannot keep a caller past its deadline.
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::recv(fd_, chunk_.data(), chunk_.size(), MSG_DONTWAIT);
        if (n == 0) {
            return false;  // the peer closed
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            return false;
        }
        input_.append(chunk_.data(), static_cast<std::size_t>(n));
        // Dispatch every whole frame; a partial one waits for more bytes. The buffer never holds
        // more than one frame (< kMaxBodyLen) plus one chunk.
        while (input_.size() - consumed_ >= kHeaderSize) {
            const FrameHeader header = decodeHeader(input_.data() + consumed_);
            if (header.bodyLen >= kMaxBodyLen) {
                TARN_LOG_WARN("rpc frame of {} bytes refused, closing the connection",
                              header.bodyLen);
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
    }
    return true;
}

void ClientConnection::failLater() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
}

}  // namespace host::rpc::detail
