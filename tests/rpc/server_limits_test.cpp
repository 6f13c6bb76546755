// What peers can make the server hold or do: hostile frames close only their connection, idle
// ones are closed, a subscriber that never reads is disconnected and its memory comes back,
// running out of descriptors neither spins the accept loop nor floods the log, and the connection
// cap holds.
#include <malloc.h>
#include <sys/resource.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>
#include <host/spdlogapplication.h>

#include <logcapture.h>

#include "childprocess.h"
#include "procstatus.h"
#include "rawpeer.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators keep freed memory in quarantine
#else
constexpr bool kSanitized = false;
#endif

using namespace rpctest;
using host::rpc::RpcServer;

bool pingAnswered(Socket& socket, std::uint64_t id) {
    writeAll(socket, host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse,
                                            std::string("\x91\xa4ping", 6)));
    const auto reply = readFrame(socket, 2s);
    return reply && reply->header.reqId == id;
}

// A server with "ping" bound; the test's options on top of `options`.
std::unique_ptr<RpcServer> pingServer(host::rpc::ServerOptions options) {
    auto server = std::make_unique<RpcServer>(options);
    server->bind("ping", std::function<void()>([] {}));
    return server;
}

// A 4 GiB length (never allocated) and 10 MiB close the connection; a length one byte under
// 10 MiB is legal and waits for the body. A silent connection is closed after the idle time-out,
// one with heartbeats is not.
TEST(RpcServerLimits, HostileAndIdleConnectionsAreClosedOthersServed) {
    host::rpc::ServerOptions options;
    options.idleTimeout = 500ms;
    auto server = pingServer(options);
    asio::io_context io;
    const std::pair<std::string, bool> cases[] = {
        {bytes({0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 0, 0, 0, 0, 0}) + "xyz", true},
        {bytes({0x00, 0x00, 0xa0, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0}), true},
        {bytes({0xff, 0xff, 0x9f, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0}), false},
        {bytes({0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9}), true},  // unknown type
        {"GET / HTTP/1.1\r\n\r\n", true},
    };
    auto silent = connectRaw(io, server->port());
    host::rpc::ClientOptions clientOptions;
    clientOptions.heartbeatInterval = 50ms;
    host::rpc::RpcClient client("127.0.0.1", server->port(), clientOptions);
    ASSERT_TRUE(client.connect());
    const auto start = std::chrono::steady_clock::now();
    const std::size_t before = residentBytes();
    for (const auto& [hostile, closes] : cases) {
        auto socket = connectRaw(io, server->port());
        writeAll(socket, hostile);
        EXPECT_EQ(closedByPeer(socket, closes ? 2000ms : 100ms), closes) << hostile.size();
    }
    EXPECT_LT(residentBytes(), before + 64u * 1024 * 1024);
    EXPECT_TRUE(closedByPeer(silent, 3000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
    std::this_thread::sleep_for(500ms);
    EXPECT_NO_THROW((client.call<1000, void>("ping")));
}

TEST(RpcServerLimits, SubscriberThatDoesNotReadIsDisconnectedAndItsMemoryReturns) {
    testsupport::LogCapture log;
    host::rpc::ServerOptions options;
    options.idleTimeout = 0ms;
    auto server = pingServer(options);
    asio::io_context io;
    auto subscriber = connectRaw(io, server->port());
    writeAll(subscriber, host::rpc::encodeFrame(0, host::rpc::RequestType::kSubscribePublish,
                                                std::string("\x92\xa4news\xa0", 7)));
    // The reply to a call sent after the subscription shows that the subscription is in place.
    ASSERT_TRUE(pingAnswered(subscriber, 1));
    const auto resident = [] {
        ::malloc_trim(0);
        return testsupport::statusBytes(::getpid(), "VmRSS");
    };
    const std::size_t before = resident();
    for (int i = 0; i < 1000; ++i) {
        server->publish("news", std::string(100 * 1024, 'p'));
    }
    EXPECT_TRUE(eventually([&] { return server->connectionCount() == 0; }, 10s));
    EXPECT_EQ(log.startingWith("rpc connection does not read").size(), 1u);
    // 100 MB was published; what the server kept for the peer is gone with it, once the
    // connection's last pending write has let go of its buffers.
    std::size_t after = 0;
    EXPECT_TRUE(kSanitized ||
                eventually([&] { return (after = resident()) < before + (16u << 20); }, 5s))
        << "resident grew by " << (after - before) / 1024 << " KiB";
}

TEST(RpcServerLimits, OutOfDescriptorsTheServerRestsAndRecovers) {
    if (kSanitized) {
        // The sanitizer runtimes open files of their own while they check (the vptr check reads
        // the process's memory map), and report false errors once descriptors run out.
        GTEST_SKIP() << "sanitizer runtimes need descriptors that this test takes away";
    }
    // The server's log lines come to its stdout, as bare texts.
    testsupport::ChildProcess child([] {
        ::dup2(STDOUT_FILENO, STDERR_FILENO);
        RW::SpdlogApplication::instance().logger()->set_pattern("%v");
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        host::rpc::ServerOptions options;
        options.idleTimeout = 0ms;
        options.failureLogWindow = 500ms;
        auto server = pingServer(options);
        std::printf("port %u\n", static_cast<unsigned>(server->port()));
        std::fflush(stdout);
        std::this_thread::sleep_for(600s);  // until the test ends it
        return 0;
    });
    const auto line = child.waitFor("port ");
    ASSERT_FALSE(line.empty());
    const auto port = static_cast<std::uint16_t>(std::stoi(line.substr(5)));
    asio::io_context io;
    auto first = connectRaw(io, port);
    ASSERT_TRUE(pingAnswered(first, 1));
    std::vector<Socket> crowd;
    for (int i = 0; i < 100; ++i) {
        crowd.push_back(connectRaw(io, port));
    }
    const auto cpuBefore = testsupport::cpuTime(child.pid());
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t id = 2; std::chrono::steady_clock::now() - start < 2s; ++id) {
        ASSERT_TRUE(pingAnswered(first, id)) << "call " << id << " not answered";
        crowd.push_back(connectRaw(io, port));
        std::this_thread::sleep_for(100ms);
    }
    // A spinning accept loop takes the whole two seconds.
    const auto cpu = testsupport::cpuTime(child.pid()) - cpuBefore;
    EXPECT_LT(cpu, 500ms) << cpu.count() << " ms of CPU in 2 s";
    // One line when the failures start, then one per 500-ms window with the count, printed when
    // the window closes.
    const auto failures = child.linesStartingWith("rpc server accept failed");
    EXPECT_GE(failures.size(), 2u);
    EXPECT_LE(failures.size(), 6u);
    EXPECT_NE(failures.back().find(" more times)"), std::string::npos) << failures.back();

    crowd.clear();
    EXPECT_TRUE(eventually(
        [&, id = std::uint64_t{1000}]() mutable {
            auto late = connectRaw(io, port);
            return pingAnswered(late, ++id);
        },
        5s))
        << "no new connection served after the crowd left";
    EXPECT_EQ(child.linesStartingWith("rpc server accepts connections again").size(), 1u);
}

// The first refusal is logged at once; the others are counted, and the count is logged when the
// window closes, without waiting for another refusal.
TEST(RpcServerLimits, ConnectionsBeyondTheCapAreClosed) {
    testsupport::LogCapture log;
    host::rpc::ServerOptions options;
    options.maxConnections = 2;
    options.failureLogWindow = 500ms;
    auto server = pingServer(options);
    asio::io_context io;
    auto a = connectRaw(io, server->port());
    auto b = connectRaw(io, server->port());
    ASSERT_TRUE(pingAnswered(a, 1));
    ASSERT_TRUE(pingAnswered(b, 2));
    for (int i = 0; i < 3; ++i) {
        auto refused = connectRaw(io, server->port());
        EXPECT_TRUE(closedByPeer(refused, 2s));
    }
    EXPECT_TRUE(pingAnswered(a, 3));
    const std::string refusal = "rpc server: 2 connections open, a new one refused";
    ASSERT_FALSE(log.startingWith(refusal).empty());
    EXPECT_EQ(log.startingWith(refusal).front().text.find(" ("), std::string::npos);
    EXPECT_TRUE(eventually([&] { return !log.startingWith(refusal + " (2 more").empty(); }));
    b.close();  // its slot comes free
    EXPECT_TRUE(eventually([&, id = std::uint64_t{10}]() mutable {
        auto d = connectRaw(io, server->port());
        return pingAnswered(d, ++id);
    }));
}

}  // namespace
