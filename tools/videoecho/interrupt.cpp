#include "interrupt.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace videoecho {

InterruptWatch::InterruptWatch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
    fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

InterruptWatch::~InterruptWatch() {
    if (fd_ >= 0) {
        close(fd_);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool InterruptWatch::interrupted() {
    return sleepFor(0);
}

bool InterruptWatch::sleepFor(long long ns) {
    if (interrupted_ || fd_ < 0) {
        return interrupted_;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ms = ns <= 0 ? 0 : static_cast<int>((ns + 999999) / 1000000);
    int r = 0;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r > 0) {
        signalfd_siginfo info{};
        while (read(fd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            interrupted_ = true;
        }
    }
    return interrupted_;
}

}  // namespace videoecho
