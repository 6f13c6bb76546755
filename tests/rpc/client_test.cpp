// The RPC client against real loopback peers: a real server, and raw peers that stay silent, answer
// late, or send garbage.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>

#include "rawpeer.h"

namespace {

using namespace rpctest;
using host::rpc::RpcClient;
using host::rpc::RpcServer;

// What `f` throws as `Exception`, or a text that says what happened instead.
template <typename Exception, typename F>
std::string whatOf(F&& f) {
    try {
        f();
    } catch (const Exception& error) {
        return error.what();
    } catch (...) {
        return "another exception";
    }
    return "no exception";
}

// A client connected to a raw peer.
struct RawPair {
    RawListener listener;
    RpcClient client{"127.0.0.1", listener.port()};
    std::optional<Socket> peer = client.connect() ? listener.accept() : std::nullopt;
};

TEST(RpcClient, CallsReturnValuesAndThrowWhatThePeerSays) {
    RpcServer server;
    server.bind("add", std::function<int(int, int)>([](int a, int b) { return a + b; }));
    server.bind("fail", std::function<void()>([] { throw std::runtime_error("card 7 unknown"); }));
    RpcClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    EXPECT_EQ((client.call<1000, int>("add", 2, 40)), 42);
    EXPECT_EQ(whatOf<std::logic_error>([&] { client.call<1000, void>("fail"); }), "card 7 unknown");
    EXPECT_EQ(whatOf<std::logic_error>([&] { client.call<1000, void>("add", "x"); }),
              "unpack failed: Args not match!");
    // Four callers at once each get their own reply; ids are consecutive.
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                wrong += (client.call<3000, int>("add", t * 1000, i)) != t * 1000 + i;
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(client.nextRequestId(), 804u);
}

// Replies that do not decode fail the call and keep the connection; a length of 4 GiB (never
// allocated), a frame of an unknown type, text that is no frame close it and fail the call.
TEST(RpcClient, BadRepliesFailTheCallAndHostileOnesTheConnection) {
    const std::string notMatch = "unpack failed: Args not match!";
    const std::string closed = "rpc connection closed";
    const auto reply = [](const std::string& body) {
        return host::rpc::encodeFrame(1, host::rpc::RequestType::kRequestResponse, body);
    };
    const std::pair<std::string, std::string> cases[] = {
        {reply(bytes({0xc1})), notMatch},
        {reply(bytes({0x90})), notMatch},
        {reply(bytes({0x91, 0xa1, 'x'})), notMatch},
        {reply(bytes({0x91, 0x07})), notMatch},
        {reply(bytes({0x92, 0x01, 0x05})), notMatch},
        {reply(bytes({0xdd, 0xff, 0xff, 0xff, 0xff})), notMatch},
        {bytes({0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 0, 0, 0, 0, 0}) + "data", closed},
        {bytes({2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 7, 0x90, 0x90}), closed},
        {"GET / HTTP/1.1\r\nHost: nowhere\r\n\r\n", closed},
    };
    for (const auto& [bytesIn, what] : cases) {
        RawPair pair;
        ASSERT_TRUE(pair.peer);
        const std::size_t before = residentBytes();
        auto result = std::async(std::launch::async, [&] {
            return whatOf<std::exception>([&] { pair.client.call<3000, void>("ping"); });
        });
        ASSERT_TRUE(readFrame(*pair.peer));
        writeAll(*pair.peer, bytesIn);
        EXPECT_EQ(result.get(), what);
        EXPECT_EQ(pair.client.has_connected(), what != closed);
        EXPECT_EQ(closedByPeer(*pair.peer, what == closed ? 1000ms : 50ms), what == closed);
        EXPECT_LT(residentBytes(), before + 64u * 1024 * 1024);
    }
}

// The late reply to id 1 must not be taken for the answer to id 2.
TEST(RpcClient, SilentPeerTimesOutAndItsLateReplyIsDropped) {
    RawPair pair;
    ASSERT_TRUE(pair.peer);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(whatOf<std::out_of_range>([&] { pair.client.call<200, void>("first"); }),
              "timeout or deferred");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    auto second = std::async(std::launch::async, [&] {
        return whatOf<std::logic_error>([&] { pair.client.call<2000, void>("second"); });
    });
    for (std::uint64_t id : {1, 2}) {
        const auto request = readFrame(*pair.peer);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->header.reqId, id);
    }
    for (std::uint64_t id : {1, 2}) {
        writeAll(*pair.peer,
                 host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse,
                                        host::rpc::encodeFailReply(std::to_string(id))));
    }
    EXPECT_EQ(second.get(), "2");
}

TEST(RpcClient, ReconnectsAndKeepsItsSubscriptions) {
    const std::uint16_t port = deadPort();
    host::rpc::ClientOptions options;
    options.reconnectInterval = 50ms;
    RpcClient client("127.0.0.1", port, options);
    std::mutex mutex;
    std::string last;  // guarded by mutex
    client.subscribe("news", [&](const std::string& key, const char* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex);
        last = key + "=" + std::string(data, size);
    });
    EXPECT_FALSE(client.connect(300ms));
    for (const std::string& round : {std::string("first\0", 6), std::string("again")}) {
        host::rpc::ServerOptions serverOptions;
        serverOptions.port = port;
        RpcServer server(serverOptions);
        ASSERT_TRUE(eventually([&] { return client.has_connected(); }));
        // The subscription travels after the connection is up; publish until it has arrived.
        EXPECT_TRUE(eventually([&] {
            server.publish("news", round);
            server.publish("other", "not subscribed");
            std::lock_guard<std::mutex> lock(mutex);
            return last == "news=" + round;
        }));
    }
    EXPECT_TRUE(eventually([&] { return !client.has_connected(); }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(last, "news=again");
}

// Publications are read while calls are in flight, and after the last call with none in flight.
TEST(RpcClient, PublicationsArriveWhileCallsAreInFlightAndAfter) {
    RpcServer server;
    server.bind("publishAndReturn", std::function<int(int)>([&server](int n) {
                    server.publish("tick", std::to_string(n));
                    return n;
                }));
    RpcClient client("127.0.0.1", server.port());
    std::mutex mutex;
    std::vector<std::string> ticks;  // guarded by mutex
    client.subscribe("tick", [&](const std::string&, const char* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex);
        ticks.emplace_back(data, size);
    });
    ASSERT_TRUE(client.connect());
    // The first call is behind the subscription on the same connection.
    for (int n = 0; n <= 50; ++n) {
        EXPECT_EQ((client.call<2000, int>("publishAndReturn", n)), n);
    }
    server.publish("tick", "51");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return ticks.size() == 52;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    for (int n = 0; n <= 51; ++n) {
        EXPECT_EQ(ticks[static_cast<std::size_t>(n)], std::to_string(n));
    }
}

}  // namespace
