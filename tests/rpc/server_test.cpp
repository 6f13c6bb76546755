// The RPC server against raw loopback clients: dispatch failures, hostile frames, idle time-outs,
// ordering and publication.
#include <gtest/gtest.h>

#include <thread>

#include <host/rpc/rpcclient.h>
#include <host/rpc/rpcserver.h>

#include "rawpeer.h"

namespace {

using namespace rpctest;
using host::rpc::RpcServer;

std::string request(std::uint64_t id, const std::string& body) {
    return host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse, body);
}

template <typename... Args>
std::string requestBody(const std::string& name, const Args&... args) {
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, std::make_tuple(name, args...));
    return std::string(buffer.data(), buffer.size());
}

class RpcServerTest : public ::testing::Test {
protected:
    RpcServerTest() : server_(options()) {
        server_.bind("ping", std::function<void()>([] {}));
        server_.bind("echo",
                     std::function<std::string(std::string)>([](std::string s) { return s; }));
        server_.bind("throw",
                     std::function<void()>([] { throw std::runtime_error("bad record"); }));
        server_.bind("count",
                     std::function<std::size_t(std::vector<std::string>)>(
                         [](const std::vector<std::string>& names) { return names.size(); }));
    }
    static host::rpc::ServerOptions options() {
        host::rpc::ServerOptions o;
        o.idleTimeout = 300ms;
        return o;
    }
    asio::ip::tcp::socket connect() { return connectRaw(io_, server_.port()); }

    // Sends one request and returns the reply body.
    std::string roundTrip(asio::ip::tcp::socket& socket, std::uint64_t id,
                          const std::string& body) {
        writeAll(socket, request(id, body));
        const auto frame = readFrame(socket);
        if (!frame) {
            return "no reply";
        }
        EXPECT_EQ(frame->header.reqId, id);
        return frame->body;
    }

    asio::io_context io_;
    RpcServer server_;
};

TEST_F(RpcServerTest, AnswersFailuresAndKeepsTheConnection) {
    // Built first: the connection must not sit idle while they are made.
    const auto emptyNames = requestBody("count", std::vector<std::string>(1000000));
    const auto names = requestBody("count", std::vector<std::string>(10000, std::string(40, 'n')));
    auto socket = connect();
    EXPECT_EQ(roundTrip(socket, 1, requestBody("throw")), host::rpc::encodeFailReply("bad record"));
    EXPECT_EQ(roundTrip(socket, 2, requestBody("missing")),
              host::rpc::encodeFailReply("unknown function: missing"));
    EXPECT_EQ(roundTrip(socket, 3, requestBody("echo", 5)),
              host::rpc::encodeFailReply("unpack failed: Args not match!"));
    // Bodies that are no request at all.
    for (const std::string& body :
         {bytes({0x91, 0x01}), bytes({0x90}), bytes({0xa4, 'p', 'i', 'n', 'g'}), bytes({0xc1}),
          bytes({0xdd, 0xff, 0xff, 0xff, 0xff, 0xa4, 'p', 'i', 'n', 'g'})}) {
        EXPECT_EQ(roundTrip(socket, 4, body),
                  host::rpc::encodeFailReply("unpack failed: Args not match!"));
    }
    // A million empty strings would cost 32 bytes per byte of the body: refused before any is
    // made. Ten thousand real ones are decoded.
    EXPECT_EQ(roundTrip(socket, 6, emptyNames),
              host::rpc::encodeFailReply("unpack failed: Args not match!"));
    msgpack::sbuffer count;
    msgpack::pack(count, 10000);
    EXPECT_EQ(roundTrip(socket, 7, names),
              host::rpc::encodeOkReply(std::string_view(count.data(), count.size())));
    msgpack::sbuffer value;
    msgpack::pack(value, std::string("still here"));
    EXPECT_EQ(roundTrip(socket, 5, requestBody("echo", std::string("still here"))),
              host::rpc::encodeOkReply(std::string_view(value.data(), value.size())));
}

TEST_F(RpcServerTest, HeartbeatsGetNoReply) {
    auto socket = connect();
    writeAll(socket, request(77, ""));
    EXPECT_EQ(roundTrip(socket, 8, requestBody("ping")), host::rpc::encodeOkReply());
}

TEST_F(RpcServerTest, RepliesLeaveInRequestOrder) {
    auto socket = connect();
    std::string burst;
    for (std::uint64_t id = 1; id <= 50; ++id) {
        burst += request(id, requestBody("echo", std::to_string(id)));
    }
    writeAll(socket, burst);
    for (std::uint64_t id = 1; id <= 50; ++id) {
        const auto frame = readFrame(socket);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->header.reqId, id);
    }
}

// Each hostile start closes its own connection (a 4 GiB length without allocating it); a length
// one byte under 10 MiB is legal, and its connection waits for the body. Others are still served.
TEST_F(RpcServerTest, HostileFramesCloseOnlyTheirConnection) {
    std::string garbage;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 64 * 1024; ++i) {
        seed = seed * 1664525u + 1013904223u;
        garbage.push_back(static_cast<char>(seed >> 24));
    }
    const struct {
        std::string bytes;
        bool closes;
    } cases[] = {
        {bytes({0xff, 0xff, 0xff, 0xff, 1, 0, 0, 0, 0, 0, 0, 0, 0}) + "xyz", true},
        {bytes({0x00, 0x00, 0xa0, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0}), true},  // 10485760
        {bytes({0xff, 0xff, 0x9f, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0}), false},
        {bytes({0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9}), true},  // unknown type
        {garbage, true},
    };
    auto other = connect();
    const std::size_t before = residentBytes();
    for (const auto& c : cases) {
        auto hostile = connect();
        writeAll(hostile, c.bytes);
        EXPECT_EQ(closedByPeer(hostile, c.closes ? 2000ms : 100ms), c.closes) << c.bytes.size();
    }
    EXPECT_LT(residentBytes(), before + 64u * 1024 * 1024);
    EXPECT_EQ(roundTrip(other, 1, requestBody("ping")), host::rpc::encodeOkReply());
}

TEST_F(RpcServerTest, IdleConnectionsAreClosedAndHeartbeatsKeepThemOpen) {
    auto silent = connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(closedByPeer(silent, 3000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);

    host::rpc::ClientOptions options;
    options.heartbeatInterval = 50ms;
    host::rpc::RpcClient client("127.0.0.1", server_.port(), options);
    ASSERT_TRUE(client.connect());
    std::this_thread::sleep_for(900ms);
    EXPECT_TRUE(client.has_connected());
    EXPECT_NO_THROW((client.call<1000, void>("ping")));
}

TEST(RpcServer, IdleTimeoutZeroNeverCloses) {
    host::rpc::ServerOptions options;
    options.idleTimeout = 0ms;
    RpcServer server(options);
    asio::io_context io;
    auto socket = connectRaw(io, server.port());
    EXPECT_FALSE(closedByPeer(socket, 600ms));
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST(RpcServer, PublicationsReachOnlySubscribers) {
    RpcServer server;
    asio::io_context io;
    auto subscriber = connectRaw(io, server.port());
    auto bystander = connectRaw(io, server.port());
    msgpack::sbuffer subscription;
    msgpack::pack(subscription, std::make_tuple(std::string("AddEchoAddr"), std::string()));
    writeAll(subscriber,
             host::rpc::encodeFrame(0, host::rpc::RequestType::kSubscribePublish,
                                    std::string_view(subscription.data(), subscription.size())));
    // Let the subscription arrive before publishing: a ping behind it on the same connection.
    server.bind("ping", std::function<void()>([] {}));
    writeAll(subscriber, request(1, requestBody("ping")));
    ASSERT_TRUE(readFrame(subscriber));

    server.publish("AddEchoAddr", std::string("\x91\x01", 2));
    const auto frame = readFrame(subscriber);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.reqType, 1);
    EXPECT_EQ(frame->header.reqId, 0u);
    msgpack::sbuffer expected;
    msgpack::pack(expected,
                  std::make_tuple(0, std::string("AddEchoAddr"), std::string("\x91\x01", 2)));
    EXPECT_EQ(frame->body, std::string(expected.data(), expected.size()));
    EXPECT_FALSE(readFrame(bystander, 200ms));
}

}  // namespace
