#include "channel.h"

#include <host/log.h>

namespace host::rpc::detail {

Channel::Channel(asio::ip::tcp::socket socket, std::chrono::milliseconds idleTimeout)
    : socket_(std::move(socket)), idleTimer_(socket_.get_executor()), idleTimeout_(idleTimeout) {
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
}

void Channel::start(FrameHandler onFrame, CloseHandler onClose) {
    onFrame_ = std::move(onFrame);
    onClose_ = std::move(onClose);
    lastReceived_ = std::chrono::steady_clock::now();
    if (idleTimeout_.count() > 0) {
        armIdleTimer(lastReceived_ + idleTimeout_);
    }
    readHeader();
}

void Channel::send(std::shared_ptr<const std::string> frame) {
    if (closed_) {
        return;
    }
    writeQueue_.push_back(std::move(frame));
    if (writeQueue_.size() == 1) {
        writeNext();
    }
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
    writeQueue_.clear();
    auto onClose = std::move(onClose_);
    onFrame_ = nullptr;
    onClose_ = nullptr;
    if (onClose) {
        onClose();
    }
}

void Channel::readHeader() {
    asio::async_read(socket_, asio::buffer(header_),
                     [self = shared_from_this()](const std::error_code& error, std::size_t) {
                         if (error) {
                             self->fail("read", error);
                             return;
                         }
                         self->lastReceived_ = std::chrono::steady_clock::now();
                         const FrameHeader header = decodeHeader(self->header_.data());
                         if (header.bodyLen >= kMaxBodyLen) {
                             TARN_LOG_WARN("rpc frame of {} bytes refused, closing the connection",
                                           header.bodyLen);
                             self->close();
                             return;
                         }
                         self->readBody(header);
                     });
}

void Channel::readBody(const FrameHeader& header) {
    body_.clear();
    if (header.bodyLen == 0) {
        deliver(header);
        return;
    }
    // A dynamic buffer grows with the bytes that really arrive, so a header that announces a large
    // body does not make us allocate it up front.
    asio::async_read(
        socket_, asio::dynamic_buffer(body_, kMaxBodyLen), asio::transfer_exactly(header.bodyLen),
        [self = shared_from_this(), header](const std::error_code& error, std::size_t) {
            if (error) {
                self->fail("read", error);
                return;
            }
            self->deliver(header);
        });
}

void Channel::deliver(const FrameHeader& header) {
    if (closed_) {
        return;
    }
    if (onFrame_) {
        // Keep the handler alive even if it closes this channel (which drops onFrame_).
        auto onFrame = onFrame_;
        onFrame(header, body_);
    }
    if (!closed_) {
        readHeader();
    }
}

void Channel::writeNext() {
    auto frame = writeQueue_.front();
    asio::async_write(
        socket_, asio::buffer(*frame),
        [self = shared_from_this(), frame](const std::error_code& error, std::size_t) {
            if (error) {
                self->fail("write", error);
                return;
            }
            if (self->closed_) {
                return;
            }
            self->writeQueue_.pop_front();
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
