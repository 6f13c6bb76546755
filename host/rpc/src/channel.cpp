#include "channel.h"

#include <cstring>

#include <host/log.h>

namespace host::rpc::detail {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

Channel::Channel(asio::ip::tcp::socket socket, std::chrono::milliseconds idleTimeout,
                 QueueLimits limits)
    : socket_(std::move(socket)),
      idleTimer_(socket_.get_executor()),
      idleTimeout_(idleTimeout),
      limits_(limits) {
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    // Writes attempted from send() must not block the I/O thread when the peer does not read.
    socket_.non_blocking(true, ignored);
}

void Channel::start(FrameHandler onFrame, CloseHandler onClose) {
    onFrame_ = std::move(onFrame);
    onClose_ = std::move(onClose);
    lastReceived_ = std::chrono::steady_clock::now();
    if (idleTimeout_.count() > 0) {
        armIdleTimer(lastReceived_ + idleTimeout_);
    }
    readMore();
}

void Channel::send(std::shared_ptr<const std::string> frame) {
    if (closed_) {
        return;
    }
    if (!writeQueue_.empty()) {
        enqueue(std::move(frame));  // leaves after the frames already queued
        return;
    }
    // A reply usually fits the socket's buffer: written here, it costs one syscall and no trip
    // through the reactor. Whatever is left (or an error) goes the asynchronous way.
    std::error_code error;
    const std::size_t written = socket_.write_some(asio::buffer(*frame), error);
    if (!error && written == frame->size()) {
        return;
    }
    writeOffset_ = error ? 0 : written;
    enqueue(std::move(frame));
    if (!closed_) {
        writeNext();
    }
}

void Channel::enqueue(std::shared_ptr<const std::string> frame) {
    if (writeQueue_.size() + 1 > limits_.messages || queuedBytes_ + frame->size() > limits_.bytes) {
        // The frames are shared with other connections' queues; dropping ours returns what only
        // this peer held.
        TARN_LOG_WARN("rpc connection does not read: {} bytes in {} messages queued, closing it",
                      queuedBytes_, writeQueue_.size());
        close();
        return;
    }
    queuedBytes_ += frame->size();
    writeQueue_.push_back(std::move(frame));
}

void Channel::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    std::error_code ignored;
    idleTimer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    std::deque<std::shared_ptr<const std::string>>().swap(writeQueue_);
    queuedBytes_ = 0;
    auto onClose = std::move(onClose_);
    onFrame_ = nullptr;
    onClose_ = nullptr;
    if (onClose) {
        onClose();
    }
}

void Channel::readMore() {
    // Room for one more chunk past the bytes held: the buffer grows with what arrives, never with
    // what a header merely announces.
    if (input_.size() < inputUsed_ + kReadChunk) {
        input_.resize(inputUsed_ + kReadChunk);
    }
    socket_.async_read_some(
        asio::buffer(input_.data() + inputUsed_, input_.size() - inputUsed_),
        [self = shared_from_this()](const std::error_code& error, std::size_t n) {
            if (error) {
                self->fail("read", error);
                return;
            }
            self->lastReceived_ = std::chrono::steady_clock::now();
            self->inputUsed_ += n;
            if (self->deliverBuffered()) {
                self->readMore();
            }
        });
}

bool Channel::deliverBuffered() {
    if (closed_) {
        return false;
    }
    std::size_t consumed = 0;
    while (!paused_ && inputUsed_ - consumed >= kHeaderSize) {
        const FrameHeader header = decodeHeader(input_.data() + consumed);
        if (header.bodyLen >= kMaxBodyLen) {
            TARN_LOG_WARN("rpc frame of {} bytes refused, closing the connection", header.bodyLen);
            close();
            return false;
        }
        if (inputUsed_ - consumed - kHeaderSize < header.bodyLen) {
            break;  // the rest of this frame has not arrived yet
        }
        body_.assign(input_.data() + consumed + kHeaderSize, header.bodyLen);
        consumed += kHeaderSize + header.bodyLen;
        if (onFrame_) {
            // Keep the handler alive even if it closes this channel (which drops onFrame_).
            auto onFrame = onFrame_;
            onFrame(header, body_);
        }
        if (closed_) {
            return false;
        }
    }
    if (consumed > 0) {
        inputUsed_ -= consumed;
        std::memmove(input_.data(), input_.data() + consumed, inputUsed_);
    }
    // A large frame grew the buffer; give that memory back once it has been handed on.
    if (input_.size() > 4 * kReadChunk && inputUsed_ < kReadChunk) {
        std::string smaller(input_.data(), inputUsed_);
        input_ = std::move(smaller);
    }
    return !paused_;
}

void Channel::resume() {
    if (!paused_ || closed_) {
        return;
    }
    paused_ = false;
    if (deliverBuffered()) {
        readMore();
    }
}

void Channel::writeNext() {
    auto frame = writeQueue_.front();
    asio::async_write(
        socket_, asio::buffer(*frame) + writeOffset_,
        [self = shared_from_this(), frame](const std::error_code& error, std::size_t) {
            if (error) {
                self->fail("write", error);
                return;
            }
            if (self->closed_) {
                return;
            }
            self->queuedBytes_ -= self->writeQueue_.front()->size();
            self->writeQueue_.pop_front();
            self->writeOffset_ = 0;
            if (!self->writeQueue_.empty()) {
                self->writeNext();
            }
        });
}

void Channel::armIdleTimer(std::chrono::steady_clock::time_point deadline) {
    idleTimer_.expires_at(deadline);
    idleTimer_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (error || self->closed_) {
            return;
        }
        // The deadline is only moved here, not on every frame, so that receiving stays cheap.
        const auto due = self->lastReceived_ + self->idleTimeout_;
        if (std::chrono::steady_clock::now() >= due) {
            TARN_LOG_INFO("rpc connection idle for {} ms, closing it", self->idleTimeout_.count());
            self->close();
            return;
        }
        self->armIdleTimer(due);
    });
}

void Channel::fail(const char* what, const std::error_code& error) {
    if (closed_) {
        return;
    }
    if (error != asio::error::eof && error != asio::error::operation_aborted &&
        error != asio::error::connection_reset) {
        TARN_LOG_INFO("rpc connection {} failed: {}", what, error.message());
    }
    close();
}

}  // namespace host::rpc::detail
