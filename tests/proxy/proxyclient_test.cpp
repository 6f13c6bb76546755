#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <host/inprocessruntime.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyclient.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>

#include "fakevideoechomgr.h"
#include "logcapture.h"
#include "payloads.h"
#include "recordingruntime.h"

namespace tarn::mediadispatch {
namespace {

using testing::FakeVideoEchoMgr;
using testing::RecordingRuntime;
using testsupport::LogCapture;

constexpr const char* kNullRuntime = "videoechodispatchmultimachineproxyclient qvRuntime is null!";
constexpr const char* kFile = "videoechodispatchmultimachineproxyclient.cpp";

class ProxyClientTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeVideoEchoMgr> mgr = std::make_shared<FakeVideoEchoMgr>();
    RecordingRuntime runtime;
    VideoEchoDisptachMultimachineProxyClient proxy;

    void wire() {
        proxy.setVideoEchoMgr(mgr);
        proxy.setRPCClient(&runtime);
        runtime.calls.clear();
    }
    void expectRefused(const std::string& method, const std::string& payload) {
        try {
            runtime.deliver(method, payload);
            ADD_FAILURE() << method << " accepted a malformed payload of " << payload.size()
                          << " bytes";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
        }
    }
};

TEST_F(ProxyClientTest, RegistersFourMethodsInOrder) {
    proxy.setRPCClient(&runtime);
    EXPECT_EQ(runtime.calls, (std::vector<std::string>{
                                 "register AddEchoAddr", "register UpdateSpliceStrategy",
                                 "register UpdateEchoAddrs", "register UpdateSpliceStrategies"}));
}

TEST_F(ProxyClientTest, UnsetRPCClientUnregistersFourMethodsInOrder) {
    proxy.setRPCClient(&runtime);
    runtime.calls.clear();
    proxy.unsetRPCClient();
    EXPECT_EQ(runtime.calls,
              (std::vector<std::string>{"unregister AddEchoAddr", "unregister UpdateSpliceStrategy",
                                        "unregister UpdateEchoAddrs",
                                        "unregister UpdateSpliceStrategies"}));
    EXPECT_TRUE(runtime.handlers.empty());
}

TEST_F(ProxyClientTest, NullRuntimeWarnsOnSetAndUnsetAndCallsNothing) {
    LogCapture log;
    proxy.setRPCClient(nullptr);
    proxy.unsetRPCClient();
    EXPECT_EQ(log.count(spdlog::level::warn, kNullRuntime, kFile, "setRPCClient"), 1U);
    EXPECT_EQ(log.count(spdlog::level::warn, kNullRuntime, kFile, "unsetRPCClient"), 1U);
    EXPECT_EQ(log.lines().size(), 2U);
    EXPECT_TRUE(runtime.calls.empty());
}

TEST_F(ProxyClientTest, AddEchoAddrHandsTheAddressToAddMedia) {
    wire();
    const auto addr = testing::sampleAddr("card-1");
    runtime.deliver("AddEchoAddr", testing::argumentOf(addr));
    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].name, "AddMedia");
    EXPECT_TRUE(testing::sameRecord(calls[0].addrs.at(0), addr));
}

TEST_F(ProxyClientTest, UpdateSpliceStrategyHandsTheStrategyToTheManager) {
    wire();
    const auto strategy = testing::sampleStrategy("card-1");
    runtime.deliver("UpdateSpliceStrategy", testing::argumentWithSurplus(strategy));
    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].name, "updateSpliceStrategy");
    EXPECT_TRUE(testing::sameRecord(calls[0].strategies.at(0), strategy));
}

TEST_F(ProxyClientTest, UpdateEchoAddrsCallsAddMediaForEachInPayloadOrder) {
    wire();
    const std::vector<VideoEchoAddr> addrs{testing::sampleAddr("a"), testing::sampleAddr("b"),
                                           testing::sampleAddr("c")};
    runtime.deliver("UpdateEchoAddrs", testing::argumentOf(addrs));
    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 3U);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].name, "AddMedia");
        EXPECT_TRUE(testing::sameRecord(calls[i].addrs.at(0), addrs[i]));
    }
}

TEST_F(ProxyClientTest, UpdateSpliceStrategiesUpdatesEachInPayloadOrder) {
    wire();
    const std::vector<VideoEchoSpliceStrategy> strategies{testing::sampleStrategy("a", 1),
                                                          testing::sampleStrategy("b", 2)};
    runtime.deliver("UpdateSpliceStrategies", testing::argumentOf(strategies));
    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 2U);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(calls[i].name, "updateSpliceStrategy");
        EXPECT_TRUE(testing::sameRecord(calls[i].strategies.at(0), strategies[i]));
    }
}

TEST_F(ProxyClientTest, EmptyArrayPayloadsGiveDefaultRecordsAndEmptyLists) {
    wire();
    for (const char* method :
         {"AddEchoAddr", "UpdateSpliceStrategy", "UpdateEchoAddrs", "UpdateSpliceStrategies"}) {
        runtime.deliver(method, testing::kEmptyArray);
    }
    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].name, "AddMedia");
    EXPECT_TRUE(testing::sameRecord(calls[0].addrs.at(0), VideoEchoAddr{}));
    EXPECT_EQ(calls[1].name, "updateSpliceStrategy");
    EXPECT_TRUE(testing::sameRecord(calls[1].strategies.at(0), VideoEchoSpliceStrategy{}));
}

TEST_F(ProxyClientTest, MalformedPayloadsAreRefusedWithNothingApplied) {
    wire();
    for (const char* method :
         {"AddEchoAddr", "UpdateSpliceStrategy", "UpdateEchoAddrs", "UpdateSpliceStrategies"}) {
        for (const auto& payload : testing::malformedPayloads()) {
            SCOPED_TRACE(method);
            expectRefused(method, payload);
        }
    }
    EXPECT_TRUE(mgr->calls().empty());
}

TEST_F(ProxyClientTest, NeverPublishes) {
    wire();
    runtime.deliver("AddEchoAddr", testing::argumentOf(testing::sampleAddr("a")));
    runtime.deliver("UpdateEchoAddrs",
                    testing::argumentOf(std::vector<VideoEchoAddr>{testing::sampleAddr("a")}));
    mgr->echoAddrChanged(testing::sampleAddr("a"));
    mgr->readyChanged(true);
    EXPECT_TRUE(runtime.publications.empty());
    EXPECT_TRUE(runtime.calls.empty());
}

TEST_F(ProxyClientTest, PushWithoutManagerIsDroppedWithAWarning) {
    proxy.setRPCClient(&runtime);
    LogCapture log;
    EXPECT_NO_THROW(runtime.deliver("AddEchoAddr", testing::argumentOf(testing::sampleAddr("a"))));
    EXPECT_EQ(
        log.count(spdlog::level::warn,
                  "videoechodispatchmultimachineproxyclient videoEchoMgr is null, AddEchoAddr "
                  "dropped!",
                  kFile, "managerFor"),
        1U);
    expectRefused("UpdateSpliceStrategy", std::string("\xc1", 1));
}

TEST_F(ProxyClientTest, AfterUnsetManagerPushesStillReachIt) {
    wire();
    EXPECT_EQ(mgr->readyChanged.num_slots(), 1U);
    proxy.unsetVideoEchoMgr();
    EXPECT_EQ(mgr->readyChanged.num_slots(), 0U);
    runtime.deliver("AddEchoAddr", testing::argumentOf(testing::sampleAddr("a")));
    EXPECT_EQ(mgr->callNames(), std::vector<std::string>{"AddMedia"});
}

TEST(ProxyClientLifetimeTest, AfterUnsetRPCClientNoPushArrives) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    auto network = std::make_shared<host::InProcessNetwork>();
    host::InProcessRuntime main(network, host::InProcessRuntime::Role::Main);
    host::InProcessRuntime node(network, host::InProcessRuntime::Role::Node);
    VideoEchoDisptachMultimachineProxyClient proxy;
    proxy.setVideoEchoMgr(mgr);
    proxy.setRPCClient(&node);
    proxy.unsetRPCClient();
    main.publish("AddEchoAddr", testing::kEmptyArray.data(), 1);
    EXPECT_FALSE(node.hasHandler("AddEchoAddr"));
    EXPECT_TRUE(mgr->calls().empty());
}

TEST(ProxyClientLifetimeTest, DestroyedWhileRegisteredDoesNothing) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    host::InProcessRuntime node(host::InProcessRuntime::Role::Node);
    {
        VideoEchoDisptachMultimachineProxyClient proxy;
        proxy.setVideoEchoMgr(mgr);
        proxy.setRPCClient(&node);
    }
    EXPECT_EQ(node.deliver("AddEchoAddr", testing::argumentOf(testing::sampleAddr("a"))), "");
    mgr->readyChanged(false);
    EXPECT_EQ(mgr->readyChanged.num_slots(), 0U);
    EXPECT_TRUE(mgr->calls().empty());
}

// The two proxies over the in-process runtime: a node's call is applied on the main machine and
// the republished bytes reach every node's manager.
TEST(ProxyRoundTripTest, NodeCallIsAppliedOnMainAndReachesEveryNode) {
    auto network = std::make_shared<host::InProcessNetwork>();
    host::InProcessRuntime main(network, host::InProcessRuntime::Role::Main);
    host::InProcessRuntime nodeA(network, host::InProcessRuntime::Role::Node);
    host::InProcessRuntime nodeB(network, host::InProcessRuntime::Role::Node);
    auto mainMgr = std::make_shared<FakeVideoEchoMgr>();
    auto mgrA = std::make_shared<FakeVideoEchoMgr>();
    auto mgrB = std::make_shared<FakeVideoEchoMgr>();

    VideoEchoDisptachMultimachineProxyServer server;
    server.setRPCServer(&main);
    server.setVideoEchoMgr(mainMgr);
    VideoEchoDisptachMultimachineProxyClient clientA;
    clientA.setVideoEchoMgr(mgrA);
    clientA.setRPCClient(&nodeA);
    VideoEchoDisptachMultimachineProxyClient clientB;
    clientB.setVideoEchoMgr(mgrB);
    clientB.setRPCClient(&nodeB);

    const auto strategy = testing::sampleStrategy("card-3");
    EXPECT_EQ(nodeA.call("UpdateSpliceStrategy", testing::argumentOf(strategy)), "");
    EXPECT_EQ(mainMgr->callNames(), std::vector<std::string>{"setVideoEchoSpliceStrategy"});
    for (const auto& mgr : {mgrA, mgrB}) {
        const auto calls = mgr->calls();
        ASSERT_EQ(calls.size(), 1U);
        EXPECT_EQ(calls[0].name, "updateSpliceStrategy");
        EXPECT_TRUE(testing::sameRecord(calls[0].strategies.at(0), strategy));
    }

    const auto addr = testing::sampleAddr("card-4");
    mainMgr->echoAddrChanged(addr);
    for (const auto& mgr : {mgrA, mgrB}) {
        const auto calls = mgr->calls();
        ASSERT_EQ(calls.size(), 2U);
        EXPECT_EQ(calls[1].name, "AddMedia");
        EXPECT_TRUE(testing::sameRecord(calls[1].addrs.at(0), addr));
    }

    clientA.unsetRPCClient();
    clientB.unsetRPCClient();
    server.unsetVideoEchoMgr();
    server.unsetRPCServer();
}

}  // namespace
}  // namespace tarn::mediadispatch
