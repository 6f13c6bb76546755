// The RPC server and the runtimes over loopback: the bytes it answers, what peers can make it hold
// or do (hostile frames close only their connection, idle ones are closed, a subscriber that never
// reads is disconnected and its memory comes back, running out of descriptors neither spins the
// accept loop nor floods the log, the connection cap holds), and the runtimes built on it.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include <host/rpc/boundedunpack.h>
#include <host/rpc/mainmachineruntime.h>
#include <host/rpc/noderuntime.h>
#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>
#include <host/spdlogapplication.h>

#include "childprocess.h"
#include "logcapture.h"
#include "procstatus.h"
#include "rawpeer.h"

namespace {

using namespace rpctest;
using host::rpc::RpcServer;

// A frame of id 1 and type `type` around `body` (shorter than 256 bytes).
std::string frame(const std::string& body, int type = 0) {
    return bytes({static_cast<int>(body.size()), 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, type}) + body;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // their allocators keep freed memory in quarantine
#else
constexpr bool kSanitized = false;
#endif

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

// On one connection: a heartbeat (no reply), then each request answered exactly, and a publication
// once it has subscribed. A 4 GiB length (never allocated) and 10 MiB close a connection; a length
// one byte under 10 MiB is legal and waits for the body. A silent connection is closed after the
// idle time-out, one with heartbeats is not.
TEST(RpcServer, AnswersTheWorkedBytesAndClosesHostileAndIdleConnections) {
    host::rpc::ServerOptions options;
    options.idleTimeout = 1000ms;
    auto server = pingServer(options);
    server->bind("echo", std::function<std::string(std::string)>([](std::string s) { return s; }));
    server->bind("throw", std::function<void()>([] { throw std::runtime_error("bad record"); }));
    asio::io_context io;
    auto silent = connectRaw(io, server->port());
    const auto start = std::chrono::steady_clock::now();
    host::rpc::ClientOptions clientOptions;
    clientOptions.heartbeatInterval = 50ms;
    host::rpc::RpcClient client("127.0.0.1", server->port(), clientOptions);
    ASSERT_TRUE(client.connect());
    auto socket = connectRaw(io, server->port());
    writeAll(socket, bytes({0, 0, 0, 0, 77, 0, 0, 0, 0, 0, 0, 0, 0}));
    const auto fail = [](const std::string& text) {
        return frame(bytes({0x92, 0x01, 0xa0 + static_cast<int>(text.size())}) + text);
    };
    // Subscribing to "AddEchoAddr" (empty token) gets no reply; the ping's shows it is in place.
    const std::pair<std::string, std::string> cases[] = {
        {kPingRequest, kPingReply},
        {frame("\x91\xa5throw"), fail("bad record")},
        {frame("\x91\xa4nope"), fail("unknown function: nope")},
        {frame(bytes({0x92, 0xa4, 'e', 'c', 'h', 'o', 0xa1, 'x'})),
         frame(bytes({0x92, 0x00, 0xa1, 'x'}))},
        {frame(bytes({0x92, 0xab}) + "AddEchoAddr" + bytes({0xa0}), 1) + kPingRequest, kPingReply},
    };
    for (const auto& [in, out] : cases) {
        writeAll(socket, in);
        EXPECT_EQ(readExactly(socket, out.size()), out) << in.substr(13);
    }
    // Bodies that are no [name, args...] of a bound method, or lengths they cannot pay for.
    const std::string notMatch = fail("unpack failed: Args not match!");
    const std::string ping = bytes({0x92, 0xa4, 'p', 'i', 'n', 'g'});
    const std::string echo = bytes({0x92, 0xa4, 'e', 'c', 'h', 'o'});
    for (const std::string& body :
         {echo + "\x05", bytes({0x91, 0x01}), bytes({0x90}), std::string("\xa4ping"), bytes({0xc1}),
          std::string(host::rpc::kMaxNesting + 1, '\x91') + "\xc0",
          ping + bytes({0xdd, 0xff, 0xff, 0xff, 0xff}),
          ping + bytes({0xdf, 0xff, 0xff, 0xff, 0xff, 0, 0}),
          echo + bytes({0xdb, 0xff, 0xff, 0xff, 0xff, 'a'}),
          echo + bytes({0xc6, 0x7f, 0xff, 0xff, 0xff}),
          echo + bytes({0xc9, 0xff, 0xff, 0xff, 0xff, 1}),
          bytes({0x93, 0xa4, 'e', 'c', 'h', 'o', 0xa5, 'a', 'b'}),
          std::string("\x91\xa4ping\x90")}) {
        writeAll(socket, frame(body));
        EXPECT_EQ(readExactly(socket, notMatch.size()), notMatch) << body;
    }
    server->publish("AddEchoAddr", bytes({0x91, 0x01}));
    EXPECT_EQ(readExactly(socket, 30),
              bytes({17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x93, 0, 0xab}) + "AddEchoAddr" +
                  bytes({0xa2, 0x91, 0x01}));

    const std::pair<std::string, bool> hostile[] = {
        {bytes({0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 0, 0, 0, 0, 0}) + "xyz", true},
        {bytes({0x00, 0x00, 0xa0, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0}), true},
        {bytes({0xff, 0xff, 0x9f, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0}), false},
        {bytes({0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9}), true},  // unknown type
        {"GET / HTTP/1.1\r\n\r\n", true},
    };
    const std::size_t before = residentBytes();
    for (const auto& [in, closes] : hostile) {
        auto other = connectRaw(io, server->port());
        writeAll(other, in);
        EXPECT_EQ(closedByPeer(other, closes ? 2000ms : 100ms), closes) << in.size();
    }
    EXPECT_LT(residentBytes(), before + 64u * 1024 * 1024);
    EXPECT_TRUE(closedByPeer(silent, 4000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);
    std::this_thread::sleep_for(1000ms);
    EXPECT_NO_THROW((client.call<1000, void>("ping")));
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
// window closes, without waiting for another refusal. A subscriber that does not read is
// disconnected, and what the server kept for it is gone with it.
TEST(RpcServerLimits, ConnectionsBeyondTheCapAndSubscribersThatDoNotReadAreClosed) {
    testsupport::LogCapture log;
    host::rpc::ServerOptions options;
    options.idleTimeout = 0ms;
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
    std::uint64_t id = 10;
    EXPECT_TRUE(eventually([&] {
        b = connectRaw(io, server->port());
        return pingAnswered(b, ++id);
    }));

    writeAll(a, host::rpc::encodeFrame(0, host::rpc::RequestType::kSubscribePublish,
                                       std::string("\x92\xa4news\xa0", 7)));
    // The reply to a call sent after the subscription shows that the subscription is in place.
    ASSERT_TRUE(pingAnswered(a, 4));
    const auto resident = [] {
        ::malloc_trim(0);
        return testsupport::statusBytes(::getpid(), "VmRSS");
    };
    const std::size_t before = resident();
    for (int i = 0; i < 1000; ++i) {
        server->publish("news", std::string(100 * 1024, 'p'));
    }
    EXPECT_TRUE(eventually([&] { return server->connectionCount() == 1; }, 10s));
    EXPECT_EQ(log.startingWith("rpc connection does not read").size(), 1u);
    EXPECT_TRUE(pingAnswered(b, ++id));
    // 100 MB was published; what the server kept for the peer is gone with it, once the
    // connection's last pending write has let go of its buffers.
    std::size_t after = 0;
    EXPECT_TRUE(kSanitized ||
                eventually([&] { return (after = resident()) < before + (16u << 20); }, 5s))
        << "resident grew by " << (after - before) / 1024 << " KiB";
}

TEST(NetworkRuntime, CallsPublicationsAndTasks) {
    std::mutex mutex;
    std::vector<std::string> got;  // "name|payload" of every delivery kept; guarded by mutex
    const auto received = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return got;
    };
    const vantor::RPCHandler keep = [&](const char* name, const char* data, unsigned size) {
        std::lock_guard<std::mutex> lock(mutex);
        got.push_back(std::string(name) + "|" + std::string(data, size));
    };
    const auto argsNotMatch = [](const char*, const char*, unsigned) {
        throw std::invalid_argument("unpack failed: Args not match!");
    };
    host::rpc::MainMachineRuntime main;
    main.registerHandler("AddEchoAddr", keep);
    main.registerHandler("UpdateSpliceStrategy", argsNotMatch);
    host::rpc::NodeRuntime first("127.0.0.1", main.port());
    host::rpc::NodeRuntime second("127.0.0.1", main.port());
    first.registerHandler("UpdateEchoAddrs", keep);
    std::atomic<int> calls{0};
    second.registerHandler("UpdateEchoAddrs", [&](const char* name, const char* data, unsigned n) {
        calls++ == 0 ? argsNotMatch(name, data, n) : keep("second", data, n);
    });
    ASSERT_TRUE(first.waitConnected(3000ms));
    ASSERT_TRUE(second.waitConnected(3000ms));

    // A node's publication that is not an array is dropped; the next one is delivered.
    first.publish("AddEchoAddr", "\xa1x", 2);
    first.publish("AddEchoAddr", "\x91\xa1*", 3);
    ASSERT_TRUE(eventually([&] { return received().size() == 1; }));
    EXPECT_EQ(received()[0], "AddEchoAddr|\x91\xa1*");
    host::rpc::RpcClient client("127.0.0.1", main.port());
    ASSERT_TRUE(client.connect());
    EXPECT_THROW((client.call<2000, void>("UpdateSpliceStrategy", 1)), std::logic_error);

    // The payload travels unchanged even when it is not msgpack.
    testsupport::LogCapture log;
    const std::string payload("\xc1\x00 raw", 6);
    ASSERT_TRUE(eventually([&] {
        main.publish("UpdateEchoAddrs", payload.data(), static_cast<unsigned>(payload.size()));
        const auto all = received();
        return std::count(all.begin(), all.end(), "UpdateEchoAddrs|" + payload) > 0 &&
               std::count(all.begin(), all.end(), "second|" + payload) > 0;
    }));
    EXPECT_EQ(
        log.startingWith("runtime handler UpdateEchoAddrs failed: unpack failed: Args not match!")
            .size(),
        1u);

    for (vantor::IQVRuntime* runtime : std::initializer_list<vantor::IQVRuntime*>{&main, &first}) {
        std::vector<std::pair<int, std::thread::id>> ran;  // written on the task thread only
        runtime->postTask([] { throw std::runtime_error("boom"); }, __FILE__, __LINE__, __func__);
        for (int i = 0; i < 100; ++i) {
            runtime->postTask([&, i] { ran.emplace_back(i, std::this_thread::get_id()); }, __FILE__,
                              __LINE__, __func__);
        }
        runtime == &main ? main.drainTasks() : first.drain();
        ASSERT_EQ(ran.size(), 100u);
        EXPECT_NE(ran[0].second, std::this_thread::get_id());
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(ran[i], std::make_pair(i, ran[0].second));
        }
    }
    // A task that throws is logged, and the ones after it run.
    EXPECT_EQ(log.startingWith("task failed: boom").size(), 2u);
}

}  // namespace
