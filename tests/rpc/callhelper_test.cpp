// The RPC call helper: every failure becomes exactly one error line, and nothing escapes.
#include <gtest/gtest.h>

#include <future>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/rpc/rpcserver.h>
#include <tarnmultimachineproxy/rpcclientassist.h>

#include "logcapture.h"
#include "rawpeer.h"

namespace {

using namespace rpctest;
using tarn::mediadispatch::VideoEchoAddr;
using tarn::multimachine::RPCClientAssist;

VideoEchoAddr sampleAddr() {
    VideoEchoAddr addr;
    addr.cardId.nodeId = "node-2";
    addr.cardId.id = 3;
    addr.cardId.deviceId = "card-9";
    addr.url = "rtsp://10.0.0.2:554/card-9";
    return addr;
}

std::vector<testsupport::LogCapture::Line> errors(const testsupport::LogCapture& log) {
    std::vector<testsupport::LogCapture::Line> result;
    for (const auto& line : log.lines()) {
        if (line.level == spdlog::level::err) {
            result.push_back(line);
        }
    }
    return result;
}

// A client that is not connected, or an empty handle: one line, nothing sent, no wait.
TEST(CallHelper, ClientThatIsNotConnectedLogsOnceAndReturnsAtOnce) {
    auto down = std::make_shared<RPCClientAssist>("127.0.0.1", deadPort());
    EXPECT_FALSE(down->connect(1000ms));
    for (const auto& assist : {down, std::shared_ptr<RPCClientAssist>()}) {
        testsupport::LogCapture log;
        const auto start = std::chrono::steady_clock::now();
        tarn::multimachine::call(assist, "AddEchoAddr", sampleAddr());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        const auto lines = errors(log);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(
            lines[0].text.rfind("rpc client is not connected \n //rpcclientassist.h:call()#", 0),
            0u)
            << lines[0].text;
    }
}

TEST(CallHelper, SuccessfulCallSendsTheRecordAsAOneElementArrayAndLogsNothing) {
    host::rpc::RpcServer server;
    std::promise<std::string> received;
    server.registerRaw("AddEchoAddr", [&](const char* args, std::size_t size) {
        received.set_value(std::string(args, size));
        return std::string();
    });
    RPCClientAssist assist("127.0.0.1", server.port());
    ASSERT_TRUE(assist.connect(2000ms));
    testsupport::LogCapture log;
    tarn::multimachine::call(assist, "AddEchoAddr", sampleAddr());
    EXPECT_TRUE(errors(log).empty());
    msgpack::sbuffer expected;
    msgpack::pack(expected, std::make_tuple(sampleAddr()));
    EXPECT_EQ(received.get_future().get(), std::string(expected.data(), expected.size()));
}

TEST(CallHelper, ErrorReplyIsLoggedWithThePeerText) {
    host::rpc::RpcServer server;
    server.registerRaw("UpdateEchoAddrs", [](const char*, std::size_t) -> std::string {
        throw std::invalid_argument("unpack failed: Args not match!");
    });
    server.registerRaw("AddEchoAddr", [](const char*, std::size_t) -> std::string {
        throw std::runtime_error("no echo server for card-9");
    });
    auto assist = std::make_shared<RPCClientAssist>("127.0.0.1", server.port());
    ASSERT_TRUE(assist->connect(2000ms));
    testsupport::LogCapture log;
    tarn::multimachine::call(assist, "AddEchoAddr", sampleAddr());
    tarn::multimachine::call(assist, "UpdateEchoAddrs", std::vector<VideoEchoAddr>{});
    tarn::multimachine::call(assist, "RequestNothing", 1);
    const auto lines = errors(log);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text.rfind("rpc call error, name:AddEchoAddr, error Info: no echo server "
                                  "for card-9 \n //rpcclientassist.h:call()#",
                                  0),
              0u)
        << lines[0].text;
    EXPECT_EQ(lines[1].text.rfind("rpc call error, name:UpdateEchoAddrs, error Info: unpack "
                                  "failed: Args not match! \n //",
                                  0),
              0u)
        << lines[1].text;
    EXPECT_EQ(lines[2].text.rfind("rpc call error, name:RequestNothing, error Info: unknown "
                                  "function: RequestNothing \n //",
                                  0),
              0u)
        << lines[2].text;
}

TEST(CallHelper, WaitsFiveSecondsUnlessTheOwnerSetsAnotherTimeOut) {
    EXPECT_EQ(host::rpc::ClientOptions{}.callTimeout, 5000ms);
}

TEST(CallHelper, PeerThatNeverAnswersCostsTheTimeOutAndOneErrorLine) {
    RawListener listener;
    host::rpc::ClientOptions options;
    options.callTimeout = 300ms;
    RPCClientAssist assist("127.0.0.1", listener.port(), options);
    ASSERT_TRUE(assist.connect(2000ms));
    auto peer = listener.accept();
    ASSERT_TRUE(peer);
    testsupport::LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    tarn::multimachine::call(assist, "UpdateSpliceStrategy",
                             tarn::mediadispatch::VideoEchoSpliceStrategy{});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 3000ms);
    const auto request = readFrame(*peer);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->header.reqId, 1u);
    const auto lines = errors(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.rfind("rpc call error, name:UpdateSpliceStrategy, error Info: timeout "
                                  "or deferred \n //",
                                  0),
              0u)
        << lines[0].text;
}

}  // namespace
