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

template <typename Exception, typename F>
std::string whatOf(F&& f) {
    try {
        f();
    } catch (const Exception& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("wrong exception: ") + error.what();
    }
    return "no exception";
}

std::string reply(std::uint64_t id, const std::string& body) {
    return host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse, body);
}

TEST(RpcClient, CallsReturnValuesAndThrowWhatThePeerSays) {
    RpcClient down("127.0.0.1", deadPort());
    EXPECT_FALSE(down.connect(1000ms));
    EXPECT_FALSE(down.has_connected());
    EXPECT_EQ(whatOf<std::runtime_error>([&] { down.call<1000, void>("ping"); }),
              "rpc client is not connected");

    RpcServer server;
    int pings = 0;
    server.bind("ping", std::function<void()>([&] { ++pings; }));
    server.bind("add", std::function<int(int, int)>([](int a, int b) { return a + b; }));
    server.bind("fail", std::function<void()>([] { throw std::runtime_error("card 7 unknown"); }));
    server.bind("text", std::function<void(std::string)>([](const std::string&) {}));
    RpcClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    client.call<1000, void>("ping");
    EXPECT_EQ(pings, 1);
    EXPECT_EQ((client.call<1000, int>("add", 2, 40)), 42);
    EXPECT_EQ(whatOf<std::logic_error>([&] { client.call<1000, void>("fail"); }), "card 7 unknown");
    EXPECT_EQ(whatOf<std::logic_error>([&] { client.call<1000, void>("nothing"); }),
              "unknown function: nothing");
    EXPECT_EQ(whatOf<std::logic_error>([&] { client.call<1000, void>("text", 12); }),
              "unpack failed: Args not match!");
    EXPECT_TRUE(client.has_connected());
}

TEST(RpcClient, UndecodableRepliesThrowInvalidArgument) {
    RawListener listener;
    RpcClient client("127.0.0.1", listener.port());
    ASSERT_TRUE(client.connect());
    auto peer = listener.accept();
    ASSERT_TRUE(peer);
    for (const std::string& body :
         {bytes({0xc1}), bytes({0x90}), bytes({0x91, 0xa1, 'x'}), bytes({0x91, 0x07}),
          bytes({0x92, 0x01, 0x05}), bytes({0xdd, 0xff, 0xff, 0xff, 0xff})}) {
        auto result = std::async(std::launch::async, [&] {
            return whatOf<std::invalid_argument>([&] { client.call<2000, void>("ping"); });
        });
        const auto request = readFrame(*peer);
        ASSERT_TRUE(request);
        writeAll(*peer, reply(request->header.reqId, body));
        EXPECT_EQ(result.get(), "unpack failed: Args not match!");
    }
}

TEST(RpcClient, SilentPeerTimesOutAndItsLateReplyIsDropped) {
    RawListener listener;
    RpcClient client("127.0.0.1", listener.port());
    ASSERT_TRUE(client.connect());
    auto peer = listener.accept();
    ASSERT_TRUE(peer);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(whatOf<std::out_of_range>([&] { client.call<200, void>("first"); }),
              "timeout or deferred");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    const auto first = readFrame(*peer);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->header.reqId, 1u);

    // The late reply to id 1 must not be taken for the answer to id 2.
    auto second = std::async(std::launch::async, [&] {
        return whatOf<std::logic_error>([&] { client.call<2000, void>("second"); });
    });
    const auto request = readFrame(*peer);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->header.reqId, 2u);
    writeAll(*peer, reply(1, host::rpc::encodeFailReply("late answer to the first call")));
    writeAll(*peer, reply(2, host::rpc::encodeFailReply("answer to the second call")));
    EXPECT_EQ(second.get(), "answer to the second call");
    EXPECT_TRUE(client.has_connected());
    EXPECT_EQ(client.nextRequestId(), 3u);
}

TEST(RpcClient, SendsHeartbeatsWhileIdle) {
    RawListener listener;
    host::rpc::ClientOptions options;
    options.heartbeatInterval = 50ms;
    RpcClient client("127.0.0.1", listener.port(), options);
    ASSERT_TRUE(client.connect());
    auto peer = listener.accept();
    ASSERT_TRUE(peer);
    for (int i = 0; i < 2; ++i) {
        const auto frame = readFrame(*peer, 1000ms);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->header.bodyLen, 0u);
        EXPECT_EQ(frame->header.reqType, 0);
    }
}

// A length of 4 GiB (never allocated), a frame of an unknown type, text that is no frame: each
// closes the connection and fails the call in flight.
TEST(RpcClient, HostilePeerIsDisconnectedWithoutAllocating) {
    const std::string fourGiB = bytes({0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 0, 0, 0, 0, 0}) + "data";
    const std::string unknownType = bytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0x90, 0x90});
    for (const std::string& hostile :
         {fourGiB, unknownType, std::string("GET / HTTP/1.1\r\nHost: nowhere\r\n\r\n")}) {
        RawListener listener;
        RpcClient client("127.0.0.1", listener.port());
        ASSERT_TRUE(client.connect());
        auto peer = listener.accept();
        ASSERT_TRUE(peer);
        const std::size_t before = residentBytes();
        auto pending = std::async(std::launch::async, [&] {
            return whatOf<std::runtime_error>([&] { client.call<3000, void>("ping"); });
        });
        ASSERT_TRUE(readFrame(*peer));
        writeAll(*peer, hostile);
        EXPECT_TRUE(eventually([&] { return !client.has_connected(); }));
        EXPECT_EQ(pending.get(), "rpc connection closed");
        EXPECT_TRUE(closedByPeer(*peer, 1000ms));
        EXPECT_LT(residentBytes(), before + 64u * 1024 * 1024);
    }
}

TEST(RpcClient, ReconnectsWhenTheServerComesBack) {
    const std::uint16_t port = deadPort();
    host::rpc::ClientOptions options;
    options.reconnectInterval = 50ms;
    RpcClient client("127.0.0.1", port, options);
    EXPECT_FALSE(client.connect(500ms));
    host::rpc::ServerOptions serverOptions;
    serverOptions.port = port;
    RpcServer server(serverOptions);
    server.bind("ping", std::function<void()>([] {}));
    ASSERT_TRUE(eventually([&] { return client.has_connected(); }));
    EXPECT_NO_THROW((client.call<1000, void>("ping")));
}

TEST(RpcClient, SubscriptionsReceivePublicationsAndSurviveReconnects) {
    auto server = std::make_unique<RpcServer>();
    const std::uint16_t port = server->port();
    host::rpc::ClientOptions options;
    options.reconnectInterval = 50ms;
    RpcClient client("127.0.0.1", port, options);
    std::mutex mutex;
    std::vector<std::string> received;
    client.subscribe("news", [&](const std::string& key, const char* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(key + "=" + std::string(data, size));
    });
    ASSERT_TRUE(client.connect());
    auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    };
    // The subscription frame travels after the connection is up; publish until it has arrived.
    ASSERT_TRUE(eventually([&] {
        server->publish("news", std::string("\x00\x01", 2));
        server->publish("other", "not subscribed");
        return count() > 0;
    }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(received.front(), std::string("news=\x00\x01", 7));
    }

    server.reset();
    ASSERT_TRUE(eventually([&] { return !client.has_connected(); }));
    host::rpc::ServerOptions again;
    again.port = port;
    server = std::make_unique<RpcServer>(again);
    ASSERT_TRUE(eventually([&] { return client.has_connected(); }));
    const std::size_t before = count();
    EXPECT_TRUE(eventually([&] {
        server->publish("news", "again");
        return count() > before;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& line : received) {
        EXPECT_EQ(line.rfind("news=", 0), 0u) << line;
    }
}

TEST(RpcClient, ConcurrentCallersEachGetTheirOwnReply) {
    RpcServer server;
    server.bind("add", std::function<int(int, int)>([](int a, int b) { return a + b; }));
    RpcClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if ((client.call<3000, int>("add", t * 1000, i)) != t * 1000 + i) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(client.nextRequestId(), 801u);
}

TEST(RpcClient, PublicationsArriveWhileCallsAreInFlight) {
    RpcServer server;
    server.bind("publishAndReturn", std::function<int(int)>([&server](int n) {
                    server.publish("tick", std::to_string(n));
                    return n;
                }));
    RpcClient client("127.0.0.1", server.port());
    std::mutex mutex;
    std::vector<std::string> ticks;
    std::thread::id handlerThread;
    client.subscribe("tick", [&](const std::string&, const char* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex);
        ticks.emplace_back(data, size);
        handlerThread = std::this_thread::get_id();
    });
    ASSERT_TRUE(client.connect());
    // Make sure the subscription has been processed: a call behind it on the same connection.
    EXPECT_EQ((client.call<2000, int>("publishAndReturn", 0)), 0);
    for (int n = 1; n <= 50; ++n) {
        EXPECT_EQ((client.call<2000, int>("publishAndReturn", n)), n);
    }
    // One more with no call in flight: the I/O thread reads it once the last caller is done.
    server.publish("tick", "51");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return ticks.size() == 52;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    for (int n = 0; n <= 51; ++n) {
        EXPECT_EQ(ticks[static_cast<std::size_t>(n)], std::to_string(n));
    }
    EXPECT_NE(handlerThread, std::this_thread::get_id());
}

}  // namespace
