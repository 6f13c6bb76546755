#include "soleopener.h"

#include <csignal>
#include <initializer_list>

#include <fcntl.h>

namespace tarn::mediadispatch::channel {

namespace {

// A breaking lease signals its holder; SIGIO would end the process. One of the signals whose
// default is to be ignored is used instead, and only while the process ignores it.
int ignoredSignal() {
    for (const int candidate : {SIGURG, SIGWINCH, SIGCHLD}) {
        struct sigaction current {};
        if (::sigaction(candidate, nullptr, &current) == 0 &&
            (current.sa_flags & SA_SIGINFO) == 0 &&
            (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) {
            return candidate;
        }
    }
    return 0;
}

}  // namespace

bool onlyOpenerOf(int fd) {
    const int quiet = ignoredSignal();
    if (quiet == 0 || ::fcntl(fd, F_SETSIG, quiet) != 0) {
        return false;
    }
    if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
        return false;
    }
    // Taking the lease made this process the descriptor's owner; with no owner a breaking lease
    // signals nobody.
    ::fcntl(fd, F_SETOWN, 0);
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return true;
}

}  // namespace tarn::mediadispatch::channel
