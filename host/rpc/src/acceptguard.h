// What keeps the server's accept loop from spinning when the process runs out of descriptors: a
// spare descriptor held in reserve, given up for a moment to accept and close the connections the
// server cannot serve, and a log that reports a repeated failure at most once per interval with a
// count when
// its window closes. Owned by the server; I/O thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include <asio.hpp>

namespace host::rpc::detail {

class SpareDescriptor {
public:
    SpareDescriptor();
    ~SpareDescriptor();
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    // Accepts and closes every connection waiting on the non-blocking `listener`, using the spare
    // descriptor's slot, then takes the slot back. Returns how many were closed.
    std::size_t shedPending(int listener);

private:
    int fd_ = -1;
};

class ThrottledLog {
public:
    ThrottledLog(asio::io_context& io, std::chrono::steady_clock::duration window)
        : window_(window), timer_(io) {}

    // Logs `message` as a warning and opens a window of `window`; while it is open, further
    // failures are only counted, and their count is logged when it closes (a timer, so that the
    // count does not wait for the next failure).
    void warn(std::string message);
    // After a failure was logged: logs `line` once, with the failures not yet reported.
    void recovered(std::string_view line);
    void cancel();

private:
    void closeWindow();

    const std::chrono::steady_clock::duration window_;
    asio::steady_timer timer_;
    bool windowOpen_ = false;
    bool failing_ = false;
    std::size_t unreported_ = 0;
    std::string lastMessage_;
};

}  // namespace host::rpc::detail
