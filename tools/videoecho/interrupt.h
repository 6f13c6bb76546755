// Turns Ctrl-C (SIGINT) and SIGTERM into a flag that a loop polls, without a signal handler or
// global state: the signals are blocked and read from a signalfd. Construct it in the main thread
// before any other thread starts; destruction restores the previous mask. One thread polls it.
#pragma once

#include <signal.h>

namespace videoecho {

class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // True once SIGINT or SIGTERM has arrived (and from then on).
    bool interrupted();
    // Sleeps up to `ns` nanoseconds; returns early, true, when interrupted.
    bool sleepFor(long long ns);

private:
    int fd_ = -1;
    bool interrupted_ = false;
    sigset_t previous_{};
};

}  // namespace videoecho
