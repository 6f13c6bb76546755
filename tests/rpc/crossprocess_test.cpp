// The main machine's runtime and a node's runtime in two processes, joined over loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <host/rpc/mainmachineruntime.h>
#include <host/rpc/noderuntime.h>

namespace {

using namespace std::chrono_literals;

// Exit codes of the node process.
enum NodeExit : int {
    kNodeOk = 0,
    kNodeNoPort = 10,
    kNodeNotConnected = 11,
    kNodeNoPublication = 12,
    kNodeWrongPayload = 13,
};

const std::string kCallPayload("\x91\xa8strategy", 10);
const std::string kPublishedPayload(
    "\x91\xa4"
    "addr",
    6);

// The node: connects, calls "UpdateSpliceStrategy" on the main machine and waits for what the main
// machine publishes under "AddEchoAddr".
int runNode(int portPipe) {
    std::uint16_t port = 0;
    if (::read(portPipe, &port, sizeof(port)) != static_cast<ssize_t>(sizeof(port))) {
        return kNodeNoPort;
    }
    host::rpc::NodeRuntime node("127.0.0.1", port);
    std::mutex mutex;
    std::condition_variable arrived;
    std::string received;
    bool done = false;
    node.registerHandler("AddEchoAddr", [&](const char*, const char* data, unsigned size) {
        std::lock_guard<std::mutex> lock(mutex);
        received.assign(data, size);
        done = true;
        arrived.notify_all();
    });
    if (!node.waitConnected(5000ms)) {
        return kNodeNotConnected;
    }
    node.publish("UpdateSpliceStrategy", kCallPayload.data(),
                 static_cast<unsigned>(kCallPayload.size()));
    std::unique_lock<std::mutex> lock(mutex);
    if (!arrived.wait_for(lock, 5000ms, [&] { return done; })) {
        return kNodeNoPublication;
    }
    return received == kPublishedPayload ? kNodeOk : kNodeWrongPayload;
}

// Waits for the child's exit code, killing it after `timeout`.
int waitChild(pid_t child, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1000;
        }
        std::this_thread::sleep_for(10ms);
    }
}

TEST(NetworkRuntimeAcrossProcesses, MainAndNodeExchangeACallAndAPublication) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Fork before any thread exists in this process; the child learns the port through the pipe.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[1]);
        ::_exit(runNode(fds[0]));
    }
    ::close(fds[0]);

    host::rpc::MainMachineRuntime main;
    std::mutex mutex;
    std::condition_variable arrived;
    std::string received;
    main.registerHandler("UpdateSpliceStrategy", [&](const char*, const char* data, unsigned size) {
        std::lock_guard<std::mutex> lock(mutex);
        received.assign(data, size);
        arrived.notify_all();
    });
    const std::uint16_t port = main.port();
    ASSERT_EQ(::write(fds[1], &port, sizeof(port)), static_cast<ssize_t>(sizeof(port)));
    ::close(fds[1]);

    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, 8000ms, [&] { return !received.empty(); }));
        EXPECT_EQ(received, kCallPayload);
    }
    // The node subscribed before it called, on the same connection, so it is subscribed by now.
    main.publish("AddEchoAddr", kPublishedPayload.data(),
                 static_cast<unsigned>(kPublishedPayload.size()));
    EXPECT_EQ(waitChild(child, 10000ms), kNodeOk);
}

}  // namespace
