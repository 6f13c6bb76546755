#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarnmediadispatchvideoecho/videoecholinkserver.h>

#include "fakevideoechomgr.h"
#include "payloads.h"
#include "logcapture.h"
#include "recordinglinkmgr.h"
#include "recordingrpcserver.h"

namespace tarn::mediadispatch {
namespace {

using testing::FakeVideoEchoMgr;
using testing::RecordingLinkMgr;
using testing::RecordingRpcServer;
using testsupport::LogCapture;

constexpr const char* kFile = "videoecholinkserver.cpp";

const std::vector<std::string> kKeys{"42AddEchoAddr", "42UpdateEchoAddrs", "42UpdateSpliceStrategy",
                                     "42UpdateSpliceStrategies"};

class LinkServerTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeVideoEchoMgr> mgr = std::make_shared<FakeVideoEchoMgr>();
    std::shared_ptr<RecordingLinkMgr> link = std::make_shared<RecordingLinkMgr>();
    VideoEchoLinkServer server;

    void wire() {
        server.setLinkMgr(link);
        server.setVideoEchoMgr(mgr);
    }
};

// The RPC peer is started only by the tests that need it.
class LinkServerRpcTest : public LinkServerTest {
protected:
    RecordingRpcServer peer;

    void SetUp() override {
        ASSERT_TRUE(peer.connected);
        wire();
        server.setRPCClient(peer.client);
    }
};

TEST_F(LinkServerTest, SubscribesTheFourKeysInOrder) {
    wire();
    EXPECT_EQ(link->subscribedKeys, kKeys);
}

TEST_F(LinkServerTest, SettingTheManagerTwiceSubscribesEachKeyTwice) {
    wire();
    server.setVideoEchoMgr(mgr);
    EXPECT_EQ(link->subscriptionCount(), 8U);
}

TEST_F(LinkServerTest, ConnectsToNodeStatusOncePerLiveLinkManager) {
    server.setLinkMgr(link);
    EXPECT_EQ(link->serverNodeInfoChanged.num_slots(), 1U);
    server.setLinkMgr(link);
    EXPECT_EQ(link->serverNodeInfoChanged.num_slots(), 2U);
}

TEST_F(LinkServerTest, MissingCollaboratorsAreWarnedAndNothingIsSubscribed) {
    LogCapture log;
    server.setLinkMgr(std::weak_ptr<ILinkMgr>());
    server.setVideoEchoMgr(mgr);
    server.setLinkMgr(link);
    server.setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr>());
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", kFile, "setLinkMgr"), 1U);
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", kFile, "setVideoEchoMgr"),
              1U);
    EXPECT_EQ(
        log.count(spdlog::level::warn, "sharedvideoEchoMgr is nullptr!", kFile, "setVideoEchoMgr"),
        1U);
    EXPECT_EQ(log.lines().size(), 3U);
    EXPECT_TRUE(link->subscribedKeys.empty());
}

TEST_F(LinkServerTest, DeliveriesWithoutRpcClientAreDroppedUndecoded) {
    wire();
    LogCapture log;
    for (const auto& key : kKeys) {
        EXPECT_NO_THROW(link->deliver(key, std::string("\xc1", 1)));
    }
    for (const char* handler : {"onRemoteEchoAddrChanged", "onRemoteEchoAddrsReceived",
                                "onUpdateRemoteSpliceStrategy", "onUpdateRemoteSpliceStrategies"}) {
        EXPECT_EQ(log.count(spdlog::level::warn, "sharedRpcClient is nullptr!", kFile, handler), 1U)
            << handler;
    }
    EXPECT_EQ(log.lines().size(), 4U);
}

TEST_F(LinkServerTest, NodeStatusWithoutManagerOrRpcClientIsWarned) {
    server.setLinkMgr(link);
    LogCapture log;
    link->serverNodeInfoChanged(vantor::link::ServerNodeInfo{false, "n"});
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedPhysicsOutput is nullptr!", kFile,
                        "localStatusChanged"),
              1U);
    server.setVideoEchoMgr(mgr);
    link->serverNodeInfoChanged(vantor::link::ServerNodeInfo{false, "n"});
    EXPECT_EQ(
        log.count(spdlog::level::warn, "sharedRpcClient is nullptr!", kFile, "localStatusChanged"),
        1U);
    EXPECT_EQ(mgr->callNames(),
              (std::vector<std::string>{"getAllVideoEchoAddr", "getAllEchoSpliceStrategies"}));
}

TEST_F(LinkServerTest, DestructionEndsSubscriptionsAndTheStatusConnection) {
    {
        VideoEchoLinkServer scoped;
        scoped.setLinkMgr(link);
        scoped.setVideoEchoMgr(mgr);
        ASSERT_EQ(link->subscriptionCount(), 4U);
    }
    EXPECT_EQ(link->subscriptionCount(), 0U);
    EXPECT_EQ(link->unsubscribed.size(), 4U);
    EXPECT_EQ(link->serverNodeInfoChanged.num_slots(), 0U);
    EXPECT_EQ(link->deliver("42AddEchoAddr", std::string("\xc1", 1)), 0U);
}

TEST_F(LinkServerTest, DestructionAfterTheLinkManagerIsGoneIsHarmless) {
    auto shortLived = std::make_shared<RecordingLinkMgr>();
    server.setLinkMgr(shortLived);
    server.setVideoEchoMgr(mgr);
    shortLived.reset();
    SUCCEED();  // the fixture's server is destroyed after this with no link manager left
}

TEST_F(LinkServerRpcTest, AddEchoAddrDeliveryBecomesOneCallWithAnEqualRecord) {
    const auto addr = testing::sampleAddr("card-1");
    link->deliver("42AddEchoAddr", wire::encodeRecord(addr));
    const auto calls = peer.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].name, "AddEchoAddr");
    EXPECT_TRUE(testing::sameRecord(
        wire::decodeArgument<VideoEchoAddr>(calls[0].args.data(), calls[0].args.size()), addr));
}

TEST_F(LinkServerRpcTest, EachKeyIsForwardedUnderItsMethodName) {
    const std::vector<VideoEchoAddr> addrs{testing::sampleAddr("a"), testing::sampleAddr("b")};
    const auto strategy = testing::sampleStrategy("a");
    const std::vector<VideoEchoSpliceStrategy> strategies{strategy, testing::sampleStrategy("b")};
    link->deliver("42UpdateEchoAddrs", wire::encodeRecord(addrs));
    link->deliver("42UpdateSpliceStrategy", wire::encodeRecord(strategy));
    link->deliver("42UpdateSpliceStrategies", wire::encodeRecord(strategies));

    const auto calls = peer.calls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[0].name, "UpdateEchoAddrs");
    EXPECT_EQ(calls[0].args, testing::argumentOf(addrs));
    EXPECT_EQ(calls[1].name, "UpdateSpliceStrategy");
    EXPECT_EQ(calls[1].args, testing::argumentOf(strategy));
    EXPECT_EQ(calls[2].name, "UpdateSpliceStrategies");
    EXPECT_EQ(calls[2].args, testing::argumentOf(strategies));
    EXPECT_TRUE(mgr->calls().empty());
}

TEST_F(LinkServerRpcTest, EmptyArrayPayloadsForwardDefaultRecordsAndEmptyLists) {
    for (const auto& key : kKeys) {
        link->deliver(key, testing::kEmptyArray);
    }
    const auto calls = peer.calls();
    ASSERT_EQ(calls.size(), 4U);
    EXPECT_EQ(calls[0].args, testing::argumentOf(VideoEchoAddr{}));
    EXPECT_EQ(calls[1].args, "\x91\x90");
    EXPECT_EQ(calls[2].args, testing::argumentOf(VideoEchoSpliceStrategy{}));
    EXPECT_EQ(calls[3].args, "\x91\x90");
}

TEST_F(LinkServerRpcTest, MalformedPayloadsAreRefusedAndNothingIsSent) {
    for (const auto& key : kKeys) {
        for (const auto& payload : testing::malformedPayloads()) {
            SCOPED_TRACE(key);
            try {
                link->deliver(key, payload);
                ADD_FAILURE() << key << " accepted a malformed payload of " << payload.size()
                              << " bytes";
            } catch (const std::invalid_argument& error) {
                EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
            }
        }
    }
    EXPECT_TRUE(peer.calls().empty());
}

TEST_F(LinkServerRpcTest, NodeBackInTheInstallationPushesBothLists) {
    const std::vector<VideoEchoAddr> addrs{testing::sampleAddr("a")};
    const std::vector<VideoEchoSpliceStrategy> strategies{testing::sampleStrategy("a")};
    mgr->setAddrs(addrs);
    mgr->setStrategies(strategies);

    link->serverNodeInfoChanged(vantor::link::ServerNodeInfo{true, "n"});
    EXPECT_TRUE(peer.calls().empty());
    EXPECT_TRUE(mgr->calls().empty());

    link->serverNodeInfoChanged(vantor::link::ServerNodeInfo{false, "n"});
    const auto calls = peer.calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].name, "UpdateEchoAddrs");
    EXPECT_EQ(calls[0].args, testing::argumentOf(addrs));
    EXPECT_EQ(calls[1].name, "UpdateSpliceStrategies");
    EXPECT_EQ(calls[1].args, testing::argumentOf(strategies));
}

TEST_F(LinkServerRpcTest, EmptyListsArePushedAsEmptyArrays) {
    link->serverNodeInfoChanged(vantor::link::ServerNodeInfo{false, "n"});
    const auto calls = peer.calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].args, "\x91\x90");
    EXPECT_EQ(calls[1].args, "\x91\x90");
}

TEST(LinkServerRpcFailureTest, UnreachablePeerIsLoggedAndTheDeliveryReturns) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    auto link = std::make_shared<RecordingLinkMgr>();
    std::uint16_t port = 0;
    {
        host::rpc::RpcServer probe;  // an ephemeral port that nobody listens on afterwards
        port = probe.port();
    }
    auto client = std::make_shared<multimachine::TcpRPCClient>("127.0.0.1", port);
    VideoEchoLinkServer server;
    server.setLinkMgr(link);
    server.setVideoEchoMgr(mgr);
    server.setRPCClient(client);
    LogCapture log;
    EXPECT_NO_THROW(link->deliver("42AddEchoAddr", wire::encodeRecord(testing::sampleAddr("a"))));
    EXPECT_EQ(
        log.count(spdlog::level::err, "rpc client is not connected", "rpcclientassist.h", "call"),
        1U);
}

}  // namespace
}  // namespace tarn::mediadispatch
