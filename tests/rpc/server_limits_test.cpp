// What one peer can make the server hold or do: a subscriber that never reads is disconnected once
// its queue is full and its memory comes back.
#include <malloc.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include <host/rpc/rpcserver.h>
#include <logcapture.h>

#include "rawpeer.h"

namespace {

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

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
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
    writeAll(subscriber, host::rpc::encodeFrame(1, host::rpc::RequestType::kRequestResponse,
                                                std::string("\x91\xa4ping", 6)));
    ASSERT_TRUE(readFrame(subscriber));
    const std::size_t before = currentResidentBytes();

    const std::string data(100 * 1024, 'p');
    for (int i = 0; i < 1000; ++i) {
        server.publish("news", data);
    }
    EXPECT_TRUE(waitFor([&] { return server.connectionCount() == 0; }, 10s));
    EXPECT_EQ(log.startingWith("rpc connection does not read").size(), 1u);
    // 100 MB was published; what the server keeps for the peer is gone with it.
    const std::size_t after = currentResidentBytes();
    EXPECT_LT(after, before + (16u << 20))
        << "resident grew by " << (after - before) / 1024 << " KiB";
}

}  // namespace
