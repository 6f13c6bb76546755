#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarnmediadispatchvideoecho/videoecholinkclient.h>

#include "fakevideoechomgr.h"
#include "payloads.h"
#include "logcapture.h"
#include "recordinglinkmgr.h"

namespace tarn::mediadispatch {
namespace {

using testing::FakeVideoEchoMgr;
using testing::RecordingLinkMgr;
using testsupport::LogCapture;

constexpr const char* kFile = "videoecholinkclient.cpp";

class LinkClientTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeVideoEchoMgr> mgr = std::make_shared<FakeVideoEchoMgr>();
    std::shared_ptr<RecordingLinkMgr> link = std::make_shared<RecordingLinkMgr>();
    VideoEchoLinkClient client;

    void wire() {
        client.setLinkMgr(link);
        client.setVideoEchoMgr(mgr);
    }
    void expectMessage(const vantor::link::LinkMessage& message, const std::string& key,
                       const std::string& payload) {
        EXPECT_EQ(message.key, key);
        EXPECT_EQ(message.payload, payload);
        EXPECT_TRUE(message.flag);
        EXPECT_TRUE(message.targets.empty());
        EXPECT_EQ(message.reserved, 0U);
    }
};

TEST_F(LinkClientTest, SettersPublishNothing) {
    LogCapture log;
    wire();
    client.setRPCClient(std::weak_ptr<IRPCClient>());
    EXPECT_TRUE(link->published.empty());
    EXPECT_TRUE(link->subscribedKeys.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(LinkClientTest, EmptyLinkManagerIsWarnedOnceThenReplacedSilently) {
    LogCapture log;
    client.setLinkMgr(std::weak_ptr<ILinkMgr>());
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", kFile, "setLinkMgr"), 1U);
    EXPECT_TRUE(client.linkMgr().expired());
    client.setLinkMgr(link);
    EXPECT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(client.linkMgr().lock(), link);
}

TEST_F(LinkClientTest, EmptyManagerIsWarned) {
    LogCapture log;
    client.setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr>());
    EXPECT_EQ(
        log.count(spdlog::level::warn, "sharedvideoEchoMgr is nullptr!", kFile, "setVideoEchoMgr"),
        1U);
    EXPECT_EQ(log.lines().size(), 1U);
}

TEST_F(LinkClientTest, NewAddressOfTheManagerIsPublishedUnderItsKey) {
    wire();
    LogCapture log;
    const auto addr = testing::sampleAddr("card-1", "rtsp://node-a/echo/card-1");
    mgr->echoAddrChanged(addr);
    ASSERT_EQ(link->published.size(), 1U);
    expectMessage(link->published[0], "42AddEchoAddr", wire::encodeRecord(addr));
    EXPECT_EQ(log.count(spdlog::level::info, "send current address is:rtsp://node-a/echo/card-1",
                        kFile, "onLocalEchoAddrChanged"),
              1U);
}

TEST_F(LinkClientTest, NewSpliceStrategyOfTheManagerIsPublishedUnderItsKey) {
    wire();
    LogCapture log;
    const auto strategy = testing::sampleStrategy("card-1");
    mgr->spliceStrategyChanged(strategy);
    ASSERT_EQ(link->published.size(), 1U);
    expectMessage(link->published[0], "42UpdateSpliceStrategy", wire::encodeRecord(strategy));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(LinkClientTest, BecomingMainPublishesTheLocalLists) {
    wire();
    const std::vector<VideoEchoAddr> addrs{testing::sampleAddr("a"), testing::sampleAddr("b")};
    const std::vector<VideoEchoSpliceStrategy> strategies{testing::sampleStrategy("a")};
    mgr->setAddrs(addrs);
    mgr->setStrategies(strategies);

    link->serverTypeChanged(vantor::link::kServerTypeNode);
    EXPECT_TRUE(link->published.empty());

    link->serverTypeChanged(vantor::link::kServerTypeMain);
    EXPECT_EQ(mgr->callNames(), (std::vector<std::string>{"getLocalAllVideoEchoAddr",
                                                          "getLocalEchoSpliceStrategies"}));
    ASSERT_EQ(link->published.size(), 2U);
    expectMessage(link->published[0], "42UpdateEchoAddrs", wire::encodeRecord(addrs));
    expectMessage(link->published[1], "42UpdateSpliceStrategies", wire::encodeRecord(strategies));
}

TEST_F(LinkClientTest, BecomingMainWithEmptyListsPublishesEmptyArrays) {
    wire();
    link->serverTypeChanged(vantor::link::kServerTypeMain);
    ASSERT_EQ(link->published.size(), 2U);
    EXPECT_EQ(link->published[0].payload, testing::kEmptyArray);
    EXPECT_EQ(link->published[1].payload, testing::kEmptyArray);
}

TEST_F(LinkClientTest, BecomingMainWithoutManagerIsWarned) {
    client.setLinkMgr(link);
    LogCapture log;
    link->serverTypeChanged(vantor::link::kServerTypeMain);
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedPhysicsOutput is nullptr!", kFile,
                        "localStatusChanged"),
              1U);
    EXPECT_TRUE(link->published.empty());
}

TEST_F(LinkClientTest, ManagerSignalWithoutLinkManagerIsWarned) {
    client.setVideoEchoMgr(mgr);
    LogCapture log;
    mgr->echoAddrChanged(testing::sampleAddr("a"));
    mgr->spliceStrategyChanged(testing::sampleStrategy("a"));
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", kFile,
                        "onLocalEchoAddrChanged"),
              1U);
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", kFile,
                        "onUpdateSpliceStrategy"),
              1U);
}

TEST_F(LinkClientTest, ReplacingTheManagerMovesTheSlots) {
    wire();
    auto second = std::make_shared<FakeVideoEchoMgr>();
    client.setVideoEchoMgr(second);
    EXPECT_EQ(mgr->echoAddrChanged.num_slots(), 0U);
    mgr->echoAddrChanged(testing::sampleAddr("a"));
    EXPECT_TRUE(link->published.empty());
    second->echoAddrChanged(testing::sampleAddr("b"));
    EXPECT_EQ(link->published.size(), 1U);
}

TEST_F(LinkClientTest, ReplacingTheLinkManagerMovesTheSlot) {
    wire();
    auto second = std::make_shared<RecordingLinkMgr>();
    client.setLinkMgr(second);
    EXPECT_EQ(link->serverTypeChanged.num_slots(), 0U);
    EXPECT_EQ(second->serverTypeChanged.num_slots(), 1U);
}

TEST(LinkClientLifetimeTest, DestroyedClientLeavesNoSlots) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    auto link = std::make_shared<RecordingLinkMgr>();
    {
        VideoEchoLinkClient client;
        client.setLinkMgr(link);
        client.setVideoEchoMgr(mgr);
    }
    EXPECT_EQ(mgr->echoAddrChanged.num_slots(), 0U);
    EXPECT_EQ(mgr->spliceStrategyChanged.num_slots(), 0U);
    EXPECT_EQ(link->serverTypeChanged.num_slots(), 0U);
    mgr->echoAddrChanged(testing::sampleAddr("a"));
    EXPECT_TRUE(link->published.empty());
}

}  // namespace
}  // namespace tarn::mediadispatch
