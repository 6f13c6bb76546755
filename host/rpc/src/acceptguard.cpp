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

void ThrottledLog::warn(const std::string& message) {
    const auto now = std::chrono::steady_clock::now();
    if (reported_ && now - lastReport_ < interval_) {
        ++unreported_;
        return;
    }
    if (unreported_ > 0) {
        TARN_LOG_WARN("{} ({} more times since the last report)", message, unreported_);
    } else {
        TARN_LOG_WARN("{}", message);
    }
    reported_ = true;
    lastReport_ = now;
    unreported_ = 0;
}

}  // namespace host::rpc::detail
