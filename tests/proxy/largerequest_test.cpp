// A large request on one connection must not hold up the calls of another: with 20,000 cards
// registered, a 6.8 MB "UpdateSpliceStrategies" is applied in full while a call on a second
// connection is answered at once.
#include <chrono>

#include <gtest/gtest.h>

#include "largerequest.h"

namespace tarn::mediadispatch {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(LargeRequest, AnotherConnectionIsAnsweredWhileItIsHandled) {
    testing::InProcessMainMachine main;
    asio::io_context io;
    auto bulk = rpctest::connectRaw(io, main.runtime.port());
    auto other = rpctest::connectRaw(io, main.runtime.port());
    ASSERT_TRUE(testing::registerCards(other, 20'000));
    ASSERT_EQ(main.mgr->getAllVideoEchoAddr().size(), 20'000u);

    std::size_t strategies = 0;
    const std::string large = testing::unmatchedStrategiesFrame(1, 6'800'000, &strategies);
    rpctest::writeAll(bulk, large);
    const auto start = Clock::now();
    rpctest::writeAll(other, testing::addCardFrame(50'000, "one-more-card"));
    const auto reply = rpctest::readFrame(other, 30s);
    const auto latency = Clock::now() - start;
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.reqId, 50'000u);
    EXPECT_EQ(reply->body, host::rpc::encodeOkReply());
    std::printf("answered in %.1f ms during a %zu-byte request of %zu strategies\n",
                std::chrono::duration<double, std::milli>(latency).count(), large.size(),
                strategies);
    // 50 ms is the target (see the benchmark); the bound here leaves room for a loaded machine.
    EXPECT_LT(latency, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(latency).count()
                           << " ms";

    const auto bulkReply = rpctest::readFrame(bulk, 30s);
    ASSERT_TRUE(bulkReply);
    EXPECT_EQ(bulkReply->header.reqId, 1u);
    EXPECT_EQ(bulkReply->body, host::rpc::encodeOkReply());
    EXPECT_EQ(main.mgr->strategies.load(), strategies);
}

TEST(LargeRequest, RepliesOnOneConnectionKeepTheOrderOfItsCalls) {
    testing::InProcessMainMachine main;
    asio::io_context io;
    auto socket = rpctest::connectRaw(io, main.runtime.port());
    std::size_t strategies = 0;
    // small, large, small, large, small: the large ones go to the worker, the small ones do not.
    std::string frames;
    for (std::uint64_t id = 1; id <= 5; ++id) {
        frames += id % 2 == 0 ? testing::unmatchedStrategiesFrame(id, 200'000, &strategies)
                              : testing::addCardFrame(id, "card-" + std::to_string(id));
    }
    rpctest::writeAll(socket, frames);
    for (std::uint64_t id = 1; id <= 5; ++id) {
        const auto reply = rpctest::readFrame(socket, 10s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header.reqId, id);
        EXPECT_EQ(reply->body, host::rpc::encodeOkReply());
    }
    EXPECT_EQ(main.mgr->strategies.load(), 2 * strategies);
}

}  // namespace
}  // namespace tarn::mediadispatch
