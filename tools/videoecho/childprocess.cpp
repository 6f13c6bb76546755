#include "childprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <fmt/format.h>
#include <boost/process.hpp>
#include <boost/process/extend.hpp>

#include "cli.h"

namespace videoecho {

namespace bp = boost::process;

struct ChildProcess::Impl {
    bp::pipe toChild;
    bp::pipe fromChild;
    bp::child child;
    int status = -1;
    bool reaped = false;
};

namespace {

// The demo blocks the signals it handles itself; its children get them back, so that Ctrl-C and
// kill reach them normally.
struct UnblockSignalsInChild {
    template <typename Executor>
    void operator()(Executor&) const {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
    }
};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : impl_(std::make_unique<Impl>()) {
    // The parent's own ends are closed on exec, so that no later child inherits them: closing a
    // child's stdin here must be an end of file there while other children run.
    fcntl(impl_->toChild.native_sink(), F_SETFD, FD_CLOEXEC);
    fcntl(impl_->fromChild.native_source(), F_SETFD, FD_CLOEXEC);
    try {
        impl_->child = bp::child(argv, bp::std_in<impl_->toChild, bp::std_out> impl_->fromChild,
                                 bp::extend::on_exec_setup = UnblockSignalsInChild());
    } catch (const std::exception& e) {
        throw RunError(fmt::format("cannot start {}: {}", argv.at(0), e.what()));
    }
}

ChildProcess::~ChildProcess() {
    if (running()) {
        kill();
        wait(2000);
        if (running()) {
            std::error_code ignored;
            impl_->child.terminate(ignored);
            wait(-1);
        }
    }
}

int ChildProcess::stdoutFd() const {
    return impl_->fromChild.is_open() ? impl_->fromChild.native_source() : -1;
}

bool ChildProcess::readLines(std::vector<std::string>& lines) {
    const int fd = stdoutFd();
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n = 0;
    do {
        n = read(fd, buffer, sizeof(buffer));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        impl_->fromChild.close();
        if (!pending_.empty()) {
            lines.push_back(pending_);
            pending_.clear();
        }
        return false;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl = pending_.find('\n'); nl != std::string::npos;
         nl = pending_.find('\n', start)) {
        lines.push_back(pending_.substr(start, nl - start));
        start = nl + 1;
    }
    pending_.erase(0, start);
    return true;
}

bool ChildProcess::sendLine(const std::string& line) {
    if (!impl_->toChild.is_open()) {
        return false;
    }
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const int n =
            impl_->toChild.write(text.data() + done, static_cast<int>(text.size() - done));
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void ChildProcess::closeStdin() {
    impl_->toChild.close();
}

int ChildProcess::wait(int timeoutMs) {
    if (impl_->reaped || !impl_->child.valid()) {
        return impl_->status;
    }
    std::error_code error;
    if (timeoutMs < 0) {
        impl_->child.wait(error);
    } else if (!impl_->child.wait_for(std::chrono::milliseconds(timeoutMs), error) && !error) {
        return -1;
    }
    impl_->reaped = true;
    if (!error) {
        // Boost reports a child ended by a signal with the signal's number as its native code.
        const int native = impl_->child.native_exit_code();
        impl_->status = WIFEXITED(native) ? WEXITSTATUS(native) : 128 + WTERMSIG(native);
    }
    return impl_->status;
}

void ChildProcess::kill() {
    if (running()) {
        ::kill(impl_->child.id(), SIGTERM);
    }
}

bool ChildProcess::running() const {
    return impl_->child.valid() && !impl_->reaped;
}

}  // namespace videoecho
