// The bytes on the wire: the worked example of a void call "ping" with id 1 in both directions,
// failure replies to whatever a peer sends, a publication, and the defaults the peers rely on.
#include <gtest/gtest.h>

#include <future>

#include <host/rpc/boundedunpack.h>
#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>

#include "rawpeer.h"

namespace {

using namespace rpctest;

const std::string kPingRequest =
    bytes({0x06, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x91, 0xa4, 0x70, 0x69, 0x6e, 0x67});
const std::string kPingReply = bytes({0x02, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x91, 0x00});

// A frame of id 1 and type `type` around `body` (shorter than 256 bytes).
std::string frame(const std::string& body, int type = 0) {
    return bytes({static_cast<int>(body.size()), 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, type}) + body;
}

TEST(Wire, DefaultsThePeersRelyOn) {
    EXPECT_EQ(host::rpc::ClientOptions{}.callTimeout, 5000ms);
    const host::rpc::ServerOptions server;
    EXPECT_EQ(server.idleTimeout, 15000ms);
    EXPECT_EQ(server.failureLogWindow, 5000ms);
    EXPECT_EQ(server.maxQueuedBytes, 32u << 20);
    EXPECT_EQ(server.maxQueuedMessages, 4096u);
    EXPECT_EQ(server.address, "127.0.0.1");
}

TEST(Wire, ClientSendsPingExactlyAsTheWorkedBytes) {
    RawListener listener;
    host::rpc::RpcClient client("127.0.0.1", listener.port());
    ASSERT_TRUE(client.connect());
    auto peer = listener.accept();
    ASSERT_TRUE(peer);
    auto result = std::async(std::launch::async, [&] { client.call<2000, void>("ping"); });
    EXPECT_EQ(readExactly(*peer, kPingRequest.size()), kPingRequest);
    writeAll(*peer, kPingReply);
    EXPECT_NO_THROW(result.get());
}

// A heartbeat first (no reply), then each request on the same connection, answered exactly; then
// a publication to it once it has subscribed.
TEST(Wire, ServerAnswersExactlyAsTheWorkedBytes) {
    host::rpc::RpcServer server;
    server.bind("ping", std::function<void()>([] {}));
    server.bind("echo", std::function<std::string(std::string)>([](std::string s) { return s; }));
    server.bind("throw", std::function<void()>([] { throw std::runtime_error("bad record"); }));
    asio::io_context io;
    auto socket = connectRaw(io, server.port());
    writeAll(socket, bytes({0, 0, 0, 0, 77, 0, 0, 0, 0, 0, 0, 0, 0}));
    const auto fail = [](const std::string& text) {
        return frame(bytes({0x92, 0x01, 0xa0 + static_cast<int>(text.size())}) + text);
    };
    const std::string notMatch = fail("unpack failed: Args not match!");
    std::string deep(host::rpc::kMaxNesting + 1, '\x91');
    const std::pair<std::string, std::string> cases[] = {
        {kPingRequest, kPingReply},
        {frame("\x91\xa5throw"), fail("bad record")},
        {frame("\x91\xa4nope"), fail("unknown function: nope")},
        {frame("\x92\xa4"
               "echo\x05"),
         notMatch},
        {frame("\x92\xa4"
               "echo\xa1x"),
         frame(bytes({0x92, 0x00, 0xa1, 'x'}))},
        {frame(bytes({0x91, 0x01})), notMatch},
        {frame(bytes({0x90})), notMatch},
        {frame("\xa4ping"), notMatch},
        {frame(bytes({0xc1})), notMatch},
        {frame(deep + "\xc0"), notMatch},
        {frame(bytes({0x92, 0xa4, 'p', 'i', 'n', 'g', 0xdd, 0xff, 0xff, 0xff, 0xff})), notMatch},
        {frame(bytes({0x92, 0xa4, 'p', 'i', 'n', 'g', 0xdf, 0xff, 0xff, 0xff, 0xff, 0, 0})),
         notMatch},
        {frame(bytes({0x92, 0xa4, 'e', 'c', 'h', 'o', 0xdb, 0xff, 0xff, 0xff, 0xff, 'a'})),
         notMatch},
        {frame(bytes({0x92, 0xa4, 'e', 'c', 'h', 'o', 0xc6, 0x7f, 0xff, 0xff, 0xff})), notMatch},
        {frame(bytes({0x92, 0xa4, 'e', 'c', 'h', 'o', 0xc9, 0xff, 0xff, 0xff, 0xff, 1})), notMatch},
        {frame(bytes({0x93, 0xa4, 'e', 'c', 'h', 'o', 0xa5, 'a', 'b'})), notMatch},
        {frame("\x91\xa4ping\x90"), notMatch},
        // Subscribe to "AddEchoAddr" with an empty token, then ping: the reply shows it is in
        // place.
        {frame("\x92\xab"
               "AddEchoAddr\xa0",
               1) +
             kPingRequest,
         kPingReply},
    };
    for (const auto& [in, out] : cases) {
        writeAll(socket, in);
        EXPECT_EQ(readExactly(socket, out.size()), out) << in.substr(13);
    }
    server.publish("AddEchoAddr", bytes({0x91, 0x01}));
    EXPECT_EQ(readExactly(socket, 30),
              bytes({17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x93, 0, 0xab}) + "AddEchoAddr" +
                  bytes({0xa2, 0x91, 0x01}));
}

}  // namespace
