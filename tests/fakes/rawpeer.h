// Test helpers: a raw TCP peer on 127.0.0.1 that reads and writes frames byte by byte, to play a
// server or client that misbehaves. Every read is bounded by a time-out. One thread each.
#pragma once

#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <asio.hpp>

#include <host/rpc/wire.h>

namespace rpctest {

using namespace std::chrono_literals;
using Socket = asio::ip::tcp::socket;
inline const asio::ip::address kLoopback = asio::ip::make_address("127.0.0.1");

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

inline bool readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

// Reads exactly `size` bytes; nullopt on time-out, EOF or error.
inline std::optional<std::string> readExactly(Socket& socket, std::size_t size,
                                              std::chrono::milliseconds timeout = 2000ms) {
    std::string data(size, '\0');
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::error_code error;
    for (std::size_t got = 0; got < size && !error;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(socket.native_handle(), left)) {
            return std::nullopt;
        }
        got += socket.read_some(asio::buffer(&data[got], size - got), error);
    }
    return error ? std::nullopt : std::optional<std::string>(data);
}

// True if the peer closes the connection within `timeout` (bytes before that are skipped).
inline bool closedByPeer(Socket& socket, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    std::error_code error;
    while (!error) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(socket.native_handle(), left)) {
            return false;
        }
        socket.read_some(asio::buffer(buffer), error);
    }
    return true;
}

struct RawFrame {
    host::rpc::FrameHeader header;
    std::string body;
};

inline std::optional<RawFrame> readFrame(Socket& socket,
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

inline void writeAll(Socket& socket, const std::string& bytes) {
    std::error_code ignored;
    asio::write(socket, asio::buffer(bytes), ignored);
}

// A listening socket on an ephemeral loopback port; accepts one connection at a time.
class RawListener {
public:
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
    std::optional<Socket> accept(std::chrono::milliseconds timeout = 2000ms) {
        if (!readable(acceptor_.native_handle(), timeout)) {
            return std::nullopt;
        }
        return acceptor_.accept();
    }

private:
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_{io_, asio::ip::tcp::endpoint(kLoopback, 0)};
};

inline Socket connectRaw(asio::io_context& io, std::uint16_t port) {
    Socket socket(io);
    socket.connect({kLoopback, port});
    return socket;
}

// A loopback port on which nothing listens (bound once, then released).
inline std::uint16_t deadPort() {
    return RawListener().port();
}

// Peak resident set size of this process, in bytes.
inline std::size_t residentBytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

inline std::string bytes(std::initializer_list<int> values) {
    return std::string(values.begin(), values.end());
}

// A call of "ping" with no arguments as request 1, and its success reply, byte for byte.
inline const std::string kPingRequest =
    bytes({0x06, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x91, 0xa4, 0x70, 0x69, 0x6e, 0x67});
inline const std::string kPingReply =
    bytes({0x02, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x91, 0x00});

}  // namespace rpctest
