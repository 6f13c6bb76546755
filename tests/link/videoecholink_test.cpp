#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tarnmediadispatchvideoecho/videoecholink.h>

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

TEST(VideoEchoLinkTest, FreshLinkOwnsServerAndClientWithEmptyReferences) {
    VideoEchoLink link;
    ASSERT_NE(link.server(), nullptr);
    ASSERT_NE(link.client(), nullptr);
    for (const IVideoEchoLink* side : {static_cast<IVideoEchoLink*>(link.server().get()),
                                       static_cast<IVideoEchoLink*>(link.client().get())}) {
        ASSERT_NE(side, nullptr);
    }
    EXPECT_TRUE(link.server()->linkMgr().expired());
    EXPECT_TRUE(link.server()->rpcClient().expired());
    EXPECT_TRUE(link.server()->videoEchoMgr().expired());
    EXPECT_TRUE(link.client()->linkMgr().expired());
    EXPECT_TRUE(link.client()->rpcClient().expired());
    EXPECT_TRUE(link.client()->videoEchoMgr().expired());
}

TEST(VideoEchoLinkTest, SettersReachBothSidesButTheRpcClientOnlyTheServer) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    auto linkMgr = std::make_shared<RecordingLinkMgr>();
    auto rpc = std::make_shared<multimachine::TcpRPCClient>("127.0.0.1", 1);
    VideoEchoLink link;
    link.setLinkMgr(linkMgr);
    link.setVideoEchoMgr(mgr);
    link.setRPCClient(rpc);
    EXPECT_EQ(link.server()->linkMgr().lock(), linkMgr);
    EXPECT_EQ(link.client()->linkMgr().lock(), linkMgr);
    EXPECT_EQ(link.server()->videoEchoMgr().lock(), mgr);
    EXPECT_EQ(link.client()->videoEchoMgr().lock(), mgr);
    EXPECT_EQ(link.server()->rpcClient().lock(), rpc);
    EXPECT_TRUE(link.client()->rpcClient().expired());
}

TEST(VideoEchoLinkTest, LinkManagerFirstSubscribesAndConnects) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    auto linkMgr = std::make_shared<RecordingLinkMgr>();
    VideoEchoLink link;
    LogCapture log;
    link.setLinkMgr(linkMgr);
    link.setVideoEchoMgr(mgr);
    EXPECT_EQ(linkMgr->subscribedKeys,
              (std::vector<std::string>{"42AddEchoAddr", "42UpdateEchoAddrs",
                                        "42UpdateSpliceStrategy", "42UpdateSpliceStrategies"}));
    EXPECT_EQ(linkMgr->serverNodeInfoChanged.num_slots(), 1U);
    EXPECT_EQ(linkMgr->serverTypeChanged.num_slots(), 1U);
    EXPECT_EQ(mgr->echoAddrChanged.num_slots(), 1U);
    EXPECT_EQ(mgr->spliceStrategyChanged.num_slots(), 1U);
    EXPECT_TRUE(log.lines().empty());
}

TEST(VideoEchoLinkTest, LinkManagerAfterTheEchoManagerLeavesTheServerUnsubscribed) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    auto linkMgr = std::make_shared<RecordingLinkMgr>();
    VideoEchoLink link;
    LogCapture log;
    link.setVideoEchoMgr(mgr);
    link.setLinkMgr(linkMgr);
    EXPECT_TRUE(linkMgr->subscribedKeys.empty());
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", "videoecholinkserver.cpp",
                        "setVideoEchoMgr"),
              1U);
    EXPECT_EQ(log.lines().size(), 1U);
}

TEST(VideoEchoLinkTest, EmptyReferencesAreAcceptedWithTheSidesWarnings) {
    VideoEchoLink link;
    LogCapture log;
    link.setLinkMgr(std::weak_ptr<ILinkMgr>());
    link.setRPCClient(std::weak_ptr<IRPCClient>());
    link.setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr>());
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", "videoecholinkclient.cpp",
                        "setLinkMgr"),
              1U);
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", "videoecholinkserver.cpp",
                        "setLinkMgr"),
              1U);
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedLinkMgr is nullptr!", "videoecholinkserver.cpp",
                        "setVideoEchoMgr"),
              1U);
    EXPECT_EQ(log.count(spdlog::level::warn, "sharedvideoEchoMgr is nullptr!",
                        "videoecholinkclient.cpp", "setVideoEchoMgr"),
              1U);
    EXPECT_EQ(log.lines().size(), 4U);
}

// Two machines joined by an in-process link bus: what one machine's manager announces is
// published by its link client and forwarded by the other machine's link server as an RPC call.
TEST(VideoEchoLinkTest, AnnouncementTravelsFromOneLinkToTheOthersRpcPeer) {
    RecordingRpcServer peer;
    ASSERT_TRUE(peer.connected);
    auto bus = std::make_shared<vantor::link::InProcessLinkBus>();
    auto linkMgrA = std::make_shared<vantor::link::InProcessLinkMgr>(bus, "a");
    auto linkMgrB = std::make_shared<vantor::link::InProcessLinkMgr>(bus, "b");
    auto mgrA = std::make_shared<FakeVideoEchoMgr>();
    auto mgrB = std::make_shared<FakeVideoEchoMgr>();
    VideoEchoLink linkA;
    linkA.setLinkMgr(linkMgrA);
    linkA.setVideoEchoMgr(mgrA);
    VideoEchoLink linkB;
    linkB.setLinkMgr(linkMgrB);
    linkB.setVideoEchoMgr(mgrB);
    linkB.setRPCClient(peer.client);

    const auto addr = testing::sampleAddr("card-5");
    mgrA->echoAddrChanged(addr);
    const auto calls = peer.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].name, "AddEchoAddr");
    EXPECT_EQ(calls[0].args, testing::argumentOf(addr));
}

}  // namespace
}  // namespace tarn::mediadispatch
