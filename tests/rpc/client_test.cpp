// The RPC client against real loopback peers (a real server, and raw peers that stay silent,
// answer late or send garbage), the bytes it sends, and the call helper's one error line per
// failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>
#include <tarnmultimachineproxy/rpcclientassist.h>

#include "logcapture.h"
#include "rawpeer.h"

namespace {

using namespace rpctest;
using host::rpc::RpcClient;
using host::rpc::RpcServer;
using tarn::multimachine::RPCClientAssist;

TEST(Wire, DefaultsThePeersRelyOn) {
    EXPECT_EQ(host::rpc::ClientOptions{}.callTimeout, 5000ms);
    const host::rpc::ServerOptions server;
    EXPECT_EQ(server.idleTimeout, 15000ms);
    EXPECT_EQ(server.failureLogWindow, 5000ms);
    EXPECT_EQ(server.maxQueuedBytes, 32u << 20);
    EXPECT_EQ(server.maxQueuedMessages, 4096u);
    EXPECT_EQ(server.address, "127.0.0.1");
}

// The call goes out as the worked bytes, and their reply is a success. Replies that do not decode
// fail the call and keep the connection; a length of 4 GiB (never allocated), a frame of an
// unknown type, text that is no frame close it and fail the call.
TEST(RpcClient, BadRepliesFailTheCallAndHostileOnesTheConnection) {
    const std::string notMatch = "unpack failed: Args not match!";
    const std::string closed = "rpc connection closed";
    const auto reply = [](const std::string& body) {
        return host::rpc::encodeFrame(1, host::rpc::RequestType::kRequestResponse, body);
    };
    const std::pair<std::string, std::string> cases[] = {
        {kPingReply, "no exception"},
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
        RawListener listener;
        RpcClient client("127.0.0.1", listener.port());
        ASSERT_TRUE(client.connect());
        auto peer = listener.accept();
        ASSERT_TRUE(peer);
        const std::size_t before = residentBytes();
        auto result = std::async(std::launch::async, [&]() -> std::string {
            try {
                client.call<3000, void>("ping");
            } catch (const std::exception& error) {
                return error.what();
            }
            return "no exception";
        });
        EXPECT_EQ(readExactly(*peer, kPingRequest.size()), kPingRequest);
        writeAll(*peer, bytesIn);
        EXPECT_EQ(result.get(), what);
        EXPECT_EQ(client.has_connected(), what != closed);
        EXPECT_EQ(closedByPeer(*peer, what == closed ? 1000ms : 50ms), what == closed);
        EXPECT_LT(residentBytes(), before + 64u * 1024 * 1024);
    }
}

// The subscription is sent again after every reconnect; concurrent calls each get their own reply;
// publications are read while calls are in flight and after the last call, with none in flight.
TEST(RpcClient, ReconnectsKeepsItsSubscriptionsAnswersCallsAndReadsPublications) {
    const std::uint16_t port = deadPort();
    host::rpc::ClientOptions options;
    options.reconnectInterval = 50ms;
    RpcClient client("127.0.0.1", port, options);
    std::mutex mutex;
    std::vector<std::string> ticks;  // guarded by mutex
    const auto received = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return ticks;
    };
    client.subscribe("tick", [&](const std::string& key, const char* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex);
        ticks.push_back(key + "=" + std::string(data, size));
    });
    EXPECT_FALSE(client.connect(300ms));
    for (const std::string& round : {std::string("first\0", 6), std::string("again")}) {
        host::rpc::ServerOptions serverOptions;
        serverOptions.port = port;
        RpcServer server(serverOptions);
        server.bind("publishAndReturn", std::function<int(int)>([&server](int n) {
                        server.publish("tick", std::to_string(n));
                        return n;
                    }));
        ASSERT_TRUE(eventually([&] { return client.has_connected(); }));
        // The subscription travels after the connection is up; publish until it has arrived.
        EXPECT_TRUE(eventually([&] {
            server.publish("tick", round);
            server.publish("other", "not subscribed");
            return !received().empty() && received().back() == "tick=" + round;
        }));
        // Four callers at once each get their own reply; every publication made meanwhile, and
        // one made with no call in flight, arrives.
        const std::size_t mark = received().size();
        std::atomic<int> wrong{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 4; ++t) {
            callers.emplace_back([&, t] {
                for (int i = 0; i < 100; ++i) {
                    wrong += client.call<3000, int>("publishAndReturn", t * 100 + i) != t * 100 + i;
                }
            });
        }
        for (auto& caller : callers) {
            caller.join();
        }
        EXPECT_EQ(wrong.load(), 0);
        server.publish("tick", "end");
        ASSERT_TRUE(eventually([&] { return received().back() == "tick=end"; }));
        // (A marker published before may still come in.)
        const auto all = received();
        EXPECT_EQ(std::count_if(all.begin() + mark, all.end(),
                                [&](const std::string& tick) { return tick != "tick=" + round; }),
                  401);
    }
    EXPECT_TRUE(eventually([&] { return !client.has_connected(); }));
    EXPECT_EQ(client.nextRequestId(), 2u * 400 + 1);  // ids are consecutive
}

// Not connected yet, or an empty handle: one line, nothing sent, no wait. Then the peer answers
// each call as the table says (nothing: the call's time-out passes), after a reply to the call
// before (late or repeated) that must not be taken for this one's; the record travels as a
// one-element array.
TEST(CallHelper, EachFailureIsOneErrorLineWithThePeerText) {
    RawListener listener;
    host::rpc::ClientOptions options;
    options.callTimeout = 300ms;
    auto assist = std::make_shared<RPCClientAssist>("127.0.0.1", listener.port(), options);
    const auto errorLines = [](const testsupport::LogCapture& log, const std::string& text) {
        EXPECT_EQ(log.lines().size(), text.empty() ? 0u : 1u);
        return log.count(spdlog::level::err, text, "rpcclientassist.h", "call");
    };
    for (const auto& handle : {assist, std::shared_ptr<RPCClientAssist>()}) {
        testsupport::LogCapture log;
        const auto start = std::chrono::steady_clock::now();
        tarn::multimachine::call(handle, "AddEchoAddr", 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        EXPECT_EQ(errorLines(log, "rpc client is not connected"), 1u);
    }
    ASSERT_TRUE(assist->connect(2000ms));
    auto peer = listener.accept();
    ASSERT_TRUE(peer);
    const tarn::mediadispatch::VideoEchoAddr addr{{"node-a", 1, "card-9", ""}, ""};
    msgpack::sbuffer request;
    msgpack::pack(request, std::make_tuple(std::string("AddEchoAddr"), addr));
    const std::string error = "rpc call error, name:AddEchoAddr, error Info: ";
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "timeout or deferred"},
        {host::rpc::encodeFailReply("no echo server for card-9"), "no echo server for card-9"},
        {host::rpc::encodeOkReply(), ""},
    };
    std::uint64_t id = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [reply, text] : cases) {
        testsupport::LogCapture log;
        auto done = std::async(std::launch::async,
                               [&] { tarn::multimachine::call(assist, "AddEchoAddr", addr); });
        const auto frame = readFrame(*peer);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->header.reqId, ++id);
        EXPECT_EQ(frame->body, std::string(request.data(), request.size()));
        const auto stale = host::rpc::encodeFailReply("reply to " + std::to_string(id - 1));
        writeAll(*peer,
                 host::rpc::encodeFrame(id - 1, host::rpc::RequestType::kRequestResponse, stale));
        if (reply) {
            writeAll(*peer,
                     host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse, *reply));
        }
        done.get();
        EXPECT_EQ(errorLines(log, text.empty() ? "" : error + text), text.empty() ? 0u : 1u);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, options.callTimeout);
}

}  // namespace
