// What peers can make the server hold or do: a subscriber that never reads is disconnected once its
// queue is full and its memory comes back; running out of descriptors neither spins the accept
// loop nor floods the log, existing connections go on being served and the server recovers; the
// connection cap holds.
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <host/rpc/rpcserver.h>
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

// Resident bytes now (not the peak), after giving freed memory back to the system.
std::size_t currentResidentBytes() {
    ::malloc_trim(0);
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::string packed(const std::string& a, const std::string& b) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(2);
    packer.pack(a);
    packer.pack(b);
    return std::string(buffer.data(), buffer.size());
}

const std::string kPing("\x91\xa4ping", 6);

bool pingAnswered(asio::ip::tcp::socket& socket, std::uint64_t id) {
    writeAll(socket, host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse, kPing));
    const auto reply = readFrame(socket, 2s);
    return reply && reply->header.reqId == id;
}

TEST(RpcServerLimits, SubscriberThatDoesNotReadIsDisconnectedAndItsMemoryReturns) {
    testsupport::LogCapture log;
    host::rpc::ServerOptions options;
    options.idleTimeout = std::chrono::milliseconds(0);
    RpcServer server(options);
    server.bind("ping", std::function<void()>([] {}));
    asio::io_context io;
    auto subscriber = connectRaw(io, server.port());
    writeAll(subscriber, host::rpc::encodeFrame(0, host::rpc::RequestType::kSubscribePublish,
                                                packed("news", "")));
    // The reply to a call sent after the subscription shows that the subscription is in place.
    ASSERT_TRUE(pingAnswered(subscriber, 1));
    const std::size_t before = currentResidentBytes();

    const std::string data(100 * 1024, 'p');
    for (int i = 0; i < 1000; ++i) {
        server.publish("news", data);
    }
    EXPECT_TRUE(eventually([&] { return server.connectionCount() == 0; }, 10s));
    EXPECT_EQ(log.startingWith("rpc connection does not read").size(), 1u);
    // 100 MB was published; what the server keeps for the peer is gone with it.
    const std::size_t after = currentResidentBytes();
    EXPECT_TRUE(kSanitized || after < before + (16u << 20))
        << "resident grew by " << (after - before) / 1024 << " KiB";
}

std::size_t linesContaining(const std::string& path, const std::string& text) {
    std::ifstream file(path);
    std::string line;
    std::size_t n = 0;
    while (std::getline(file, line)) {
        n += line.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

TEST(RpcServerLimits, OutOfDescriptorsTheServerRestsAndRecovers) {
    if (kSanitized) {
        // The sanitizer runtimes open files of their own while they check (the vptr check reads
        // the process's memory map), and report false errors once descriptors run out.
        GTEST_SKIP() << "sanitizer runtimes need descriptors that this test takes away";
    }
    char logPath[] = "/tmp/rpc_emfile_log_XXXXXX";
    const int logFd = ::mkstemp(logPath);
    ASSERT_GE(logFd, 0);
    // Removed however the test ends.
    const std::unique_ptr<char, void (*)(char*)> removeLog(logPath,
                                                           [](char* path) { ::unlink(path); });
    {
        testsupport::ChildProcess server([logFd] {
            ::dup2(logFd, STDERR_FILENO);
            const rlimit limit{64, 64};
            ::setrlimit(RLIMIT_NOFILE, &limit);
            host::rpc::ServerOptions options;
            options.idleTimeout = std::chrono::milliseconds(0);
            options.failureLogWindow = 500ms;
            RpcServer rpc(options);
            rpc.bind("ping", std::function<void()>([] {}));
            std::printf("port %u\n", static_cast<unsigned>(rpc.port()));
            std::fflush(stdout);
            for (;;) {
                std::this_thread::sleep_for(60s);
            }
            return 0;
        });
        const auto line = server.waitFor("port ");
        ASSERT_FALSE(line.empty());
        const auto port = std::optional<int>(std::stoi(line.substr(5)));
        asio::io_context io;
        auto first = connectRaw(io, static_cast<std::uint16_t>(*port));
        ASSERT_TRUE(pingAnswered(first, 1));

        std::vector<asio::ip::tcp::socket> crowd;
        for (int i = 0; i < 100; ++i) {
            crowd.push_back(connectRaw(io, static_cast<std::uint16_t>(*port)));
        }
        const auto cpuBefore = testsupport::cpuTime(server.pid());
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t id = 2; std::chrono::steady_clock::now() - start < 2s; ++id) {
            ASSERT_TRUE(pingAnswered(first, id)) << "call " << id << " not answered";
            crowd.push_back(connectRaw(io, static_cast<std::uint16_t>(*port)));
            std::this_thread::sleep_for(100ms);
        }
        const auto cpu = testsupport::cpuTime(server.pid()) - cpuBefore;
        // A spinning accept loop takes the whole two seconds.
        EXPECT_LT(cpu, 500ms) << cpu.count() << " ms of CPU in 2 s";
        // One line when the failures start, then one per 500-ms window with the count, printed
        // when the window closes.
        const std::size_t failures = linesContaining(logPath, "rpc server accept failed");
        EXPECT_GE(failures, 2u);
        EXPECT_LE(failures, 6u);
        EXPECT_GE(linesContaining(logPath, " more times)"), 1u);

        crowd.clear();
        bool recovered = false;
        for (int attempt = 0; attempt < 50 && !recovered; ++attempt) {
            std::this_thread::sleep_for(100ms);
            auto late = connectRaw(io, static_cast<std::uint16_t>(*port));
            recovered = pingAnswered(late, 1000 + attempt);
        }
        EXPECT_TRUE(recovered) << "no new connection served after the crowd left";
        EXPECT_EQ(linesContaining(logPath, "rpc server accepts connections again"), 1u);
    }
    ::close(logFd);
}

TEST(RpcServerLimits, ConnectionsBeyondTheCapAreClosed) {
    testsupport::LogCapture log;
    host::rpc::ServerOptions options;
    options.maxConnections = 2;
    options.failureLogWindow = 1s;
    RpcServer server(options);
    server.bind("ping", std::function<void()>([] {}));
    asio::io_context io;
    auto a = connectRaw(io, server.port());
    auto b = connectRaw(io, server.port());
    ASSERT_TRUE(pingAnswered(a, 1));
    ASSERT_TRUE(pingAnswered(b, 2));
    std::vector<asio::ip::tcp::socket> refused;
    for (int i = 0; i < 3; ++i) {
        refused.push_back(connectRaw(io, server.port()));
    }
    for (auto& c : refused) {
        EXPECT_TRUE(closedByPeer(c, 2s));
    }
    EXPECT_TRUE(pingAnswered(a, 3));
    // The first refusal is logged at once; the others are counted, and the count is logged when
    // the window closes, without waiting for another refusal.
    const std::string refusal = "rpc server: 2 connections open, a new one refused";
    ASSERT_FALSE(log.startingWith(refusal).empty());
    EXPECT_EQ(log.startingWith(refusal).front().text.find(" ("), std::string::npos);
    bool counted = false;
    for (int wait = 0; wait < 60 && !counted; ++wait) {
        std::this_thread::sleep_for(50ms);
        counted = !log.startingWith(refusal + " (").empty();
    }
    EXPECT_TRUE(counted) << "the count of the window was not logged when it closed";
    b.close();  // its slot comes free
    bool served = false;
    for (int attempt = 0; attempt < 20 && !served; ++attempt) {
        std::this_thread::sleep_for(50ms);
        auto d = connectRaw(io, server.port());
        served = pingAnswered(d, 10 + attempt);
    }
    EXPECT_TRUE(served);
}

}  // namespace
