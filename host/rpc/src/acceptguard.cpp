#include "acceptguard.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <host/log.h>

namespace host::rpc::detail {

namespace {

int openSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

SpareDescriptor::SpareDescriptor() : fd_(openSpare()) {}

SpareDescriptor::~SpareDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::size_t SpareDescriptor::shedPending(int listener) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    std::size_t shed = 0;
    for (;;) {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            break;  // nothing waits any more (EAGAIN), or even the spare slot is gone
        }
        ::close(connection);
        ++shed;
    }
    fd_ = openSpare();
    return shed;
}

void ThrottledLog::warn(std::string message) {
    failing_ = true;
    if (windowOpen_) {
        ++unreported_;
        lastMessage_ = std::move(message);
        return;
    }
    TARN_LOG_WARN("{}", message);
    windowOpen_ = true;
    timer_.expires_after(window_);
    timer_.async_wait([this](const std::error_code& error) {
        if (!error) {
            closeWindow();
        }
    });
}

void ThrottledLog::closeWindow() {
    windowOpen_ = false;
    if (unreported_ == 0) {
        return;
    }
    const std::size_t count = unreported_;
    unreported_ = 0;
    // Opens the next window, so that a failure that goes on is logged once per window.
    warn(fmt::format("{} ({} more times)", lastMessage_, count));
}

void ThrottledLog::recovered(std::string_view line) {
    if (!failing_) {
        return;
    }
    failing_ = false;
    if (unreported_ > 0) {
        TARN_LOG_WARN("{} ({} more times)", lastMessage_, unreported_);
        unreported_ = 0;
    }
    TARN_LOG_INFO("{}", line);
}

void ThrottledLog::cancel() {
    timer_.cancel();
}

}  // namespace host::rpc::detail
