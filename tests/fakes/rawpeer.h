// Test helpers: a raw TCP peer on 127.0.0.1 that reads and writes frames byte by byte, so that
// tests can play a server or client that misbehaves. Every read is bounded by a time-out. One
// thread each.
#pragma once

#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <asio.hpp>

#include <host/rpc/wire.h>

namespace rpctest {

using namespace std::chrono_literals;

inline const asio::ip::address kLoopback = asio::ip::make_address("127.0.0.1");

// Waits until `socket` is readable (data, EOF or error); false on time-out.
inline bool waitReadable(asio::ip::tcp::socket& socket, std::chrono::milliseconds timeout) {
    pollfd fd{socket.native_handle(), POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(timeout.count())) > 0;
}

// Reads exactly `size` bytes; nullopt on time-out, EOF or error.
inline std::optional<std::string> readExactly(asio::ip::tcp::socket& socket, std::size_t size,
                                              std::chrono::milliseconds timeout = 2000ms) {
    std::string data(size, '\0');
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(socket, left)) {
            return std::nullopt;
        }
        std::error_code error;
        const std::size_t n = socket.read_some(asio::buffer(&data[got], size - got), error);
        if (error) {
            return std::nullopt;
        }
        got += n;
    }
    return data;
}

struct RawFrame {
    host::rpc::FrameHeader header;
    std::string body;
};

inline std::optional<RawFrame> readFrame(asio::ip::tcp::socket& socket,
                                         std::chrono::milliseconds timeout = 2000ms) {
    auto header = readExactly(socket, host::rpc::kHeaderSize, timeout);
    if (!header) {
        return std::nullopt;
    }
    RawFrame frame{host::rpc::decodeHeader(header->data()), {}};
    auto body = readExactly(socket, frame.header.bodyLen, timeout);
    if (!body) {
        return std::nullopt;
    }
    frame.body = std::move(*body);
    return frame;
}

inline void writeAll(asio::ip::tcp::socket& socket, const std::string& bytes) {
    std::error_code ignored;
    asio::write(socket, asio::buffer(bytes), ignored);
}

// True if the peer closes the connection within `timeout` (any bytes before that are skipped).
inline bool closedByPeer(asio::ip::tcp::socket& socket, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(socket, left)) {
            return false;
        }
        std::error_code error;
        socket.read_some(asio::buffer(buffer), error);
        if (error) {
            return true;
        }
    }
}

// A listening socket on an ephemeral loopback port; accepts one connection at a time.
class RawListener {
public:
    RawListener() : acceptor_(io_, asio::ip::tcp::endpoint(kLoopback, 0)) {}
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
    std::optional<asio::ip::tcp::socket> accept(std::chrono::milliseconds timeout = 2000ms) {
        pollfd fd{acceptor_.native_handle(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::nullopt;
        }
        return acceptor_.accept();
    }
    asio::io_context& io() { return io_; }

private:
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
};

inline asio::ip::tcp::socket connectRaw(asio::io_context& io, std::uint16_t port) {
    asio::ip::tcp::socket socket(io);
    socket.connect({kLoopback, port});
    return socket;
}

// A loopback port on which nothing listens (bound once, then released).
inline std::uint16_t deadPort() {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(kLoopback, 0));
    return acceptor.local_endpoint().port();
}

// Resident set size of this process, in bytes.
// Polls `condition` every 5 ms until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

inline std::size_t residentBytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

}  // namespace rpctest
