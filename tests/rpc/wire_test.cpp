// The bytes on the wire, pinned against the worked example of a void call "ping" with id 1.
#include <gtest/gtest.h>

#include <future>

#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>
#include <host/rpc/wire.h>

#include "rawpeer.h"

namespace {

using namespace rpctest;

const std::string kPingRequest =
    bytes({0x06, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x91, 0xa4, 0x70, 0x69, 0x6e, 0x67});
const std::string kPingReply = bytes({0x02, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x91, 0x00});

TEST(WireFormat, HeaderIsThirteenLittleEndianBytes) {
    char out[host::rpc::kHeaderSize];
    host::rpc::encodeHeader({0x04030201u, 0x0c0b0a0908070605ull, 1}, out);
    EXPECT_EQ(std::string(out, sizeof(out)), bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 1}));
    const auto header = host::rpc::decodeHeader(out);
    EXPECT_EQ(header.bodyLen, 0x04030201u);
    EXPECT_EQ(header.reqId, 0x0c0b0a0908070605ull);
    EXPECT_EQ(header.reqType, 1);
}

TEST(WireFormat, ClientSendsPingExactlyAsTheWorkedBytes) {
    RawListener listener;
    host::rpc::RpcClient client("127.0.0.1", listener.port());
    ASSERT_TRUE(client.connect());
    auto peer = listener.accept();
    ASSERT_TRUE(peer);

    auto result = std::async(std::launch::async, [&] { client.call<2000, void>("ping"); });
    const auto request = readExactly(*peer, kPingRequest.size());
    ASSERT_TRUE(request);
    EXPECT_EQ(*request, kPingRequest);
    writeAll(*peer, kPingReply);
    EXPECT_NO_THROW(result.get());
}

TEST(WireFormat, ServerAnswersPingExactlyAsTheWorkedBytes) {
    host::rpc::RpcServer server;
    server.bind("ping", std::function<void()>([] {}));
    asio::io_context io;
    auto socket = connectRaw(io, server.port());
    writeAll(socket, kPingRequest);
    const auto reply = readExactly(socket, kPingReply.size());
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, kPingReply);
}

}  // namespace
