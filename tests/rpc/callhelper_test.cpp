// The RPC call helper: every failure becomes exactly one error line, and nothing escapes.
#include <gtest/gtest.h>

#include <future>

#include <echorecordswire/echorecordsmsgpack.h>
#include <tarnmultimachineproxy/rpcclientassist.h>

#include "logcapture.h"
#include "rawpeer.h"

namespace {

using namespace rpctest;
using tarn::mediadispatch::VideoEchoAddr;
using tarn::multimachine::RPCClientAssist;

// The error lines logged while `f` runs.
template <typename F>
std::vector<std::string> errorsOf(F&& f) {
    testsupport::LogCapture log;
    f();
    std::vector<std::string> texts;
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.level, spdlog::level::err) << line.text;
        texts.push_back(line.text.substr(0, line.text.find(" \n //rpcclientassist.h:call()#")));
    }
    return texts;
}

// A client that is not connected, or an empty handle: one line, nothing sent, no wait.
TEST(CallHelper, ClientThatIsNotConnectedLogsOnceAndReturnsAtOnce) {
    auto down = std::make_shared<RPCClientAssist>("127.0.0.1", deadPort());
    EXPECT_FALSE(down->connect(1000ms));
    for (const auto& assist : {down, std::shared_ptr<RPCClientAssist>()}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(errorsOf([&] { tarn::multimachine::call(assist, "AddEchoAddr", 1); }),
                  std::vector<std::string>{"rpc client is not connected"});
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    }
}

// The peer answers each call as the table says (nothing: the call's time-out passes); the record
// travels as a one-element array.
TEST(CallHelper, EachFailureIsOneErrorLineWithThePeerText) {
    RawListener listener;
    host::rpc::ClientOptions options;
    options.callTimeout = 300ms;
    RPCClientAssist assist("127.0.0.1", listener.port(), options);
    ASSERT_TRUE(assist.connect(2000ms));
    auto peer = listener.accept();
    ASSERT_TRUE(peer);
    VideoEchoAddr addr;
    addr.cardId.deviceId = "card-9";
    msgpack::sbuffer request;
    msgpack::pack(request, std::make_tuple(std::string("AddEchoAddr"), addr));
    const struct {
        std::optional<std::string> reply;
        std::string line;
    } cases[] = {
        {host::rpc::encodeOkReply(), ""},
        {host::rpc::encodeFailReply("no echo server for card-9"),
         "rpc call error, name:AddEchoAddr, error Info: no echo server for card-9"},
        {bytes({0x91, 0xc1}),
         "rpc call error, name:AddEchoAddr, error Info: unpack failed: Args "
         "not match!"},
        {std::nullopt, "rpc call error, name:AddEchoAddr, error Info: timeout or deferred"},
    };
    std::uint64_t id = 0;
    for (const auto& c : cases) {
        const auto lines = errorsOf([&] {
            auto done = std::async(std::launch::async,
                                   [&] { tarn::multimachine::call(assist, "AddEchoAddr", addr); });
            const auto frame = readFrame(*peer);
            ASSERT_TRUE(frame);
            EXPECT_EQ(frame->header.reqId, ++id);
            EXPECT_EQ(frame->body, std::string(request.data(), request.size()));
            if (c.reply) {
                writeAll(*peer, host::rpc::encodeFrame(id, host::rpc::RequestType::kRequestResponse,
                                                       *c.reply));
            }
            done.get();
        });
        EXPECT_EQ(lines,
                  c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    }
}

}  // namespace
