#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <host/inprocessruntime.h>
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

constexpr const char* kNullRuntime = "VideoEchoDisptachMultimachineProxyServer qvRuntime is null!";
constexpr const char* kFile = "videoechodispatchmultimachineproxyserver.cpp";

class ProxyServerTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeVideoEchoMgr> mgr = std::make_shared<FakeVideoEchoMgr>();
    RecordingRuntime runtime;
    VideoEchoDisptachMultimachineProxyServer proxy;

    void wire() {
        proxy.setRPCServer(&runtime);
        proxy.setVideoEchoMgr(mgr);
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

TEST_F(ProxyServerTest, RegistersSixMethodsInOrder) {
    proxy.setRPCServer(&runtime);
    EXPECT_EQ(runtime.calls,
              (std::vector<std::string>{"register UpdateEchoAddrs", "register UpdateSpliceStrategy",
                                        "register UpdateSpliceStrategies", "register AddEchoAddr",
                                        "register UpdateEchoInfo", "register RequestEchoInfo"}));
}

TEST_F(ProxyServerTest, UnsetRPCServerUnregistersSixMethodsInOrder) {
    proxy.setRPCServer(&runtime);
    runtime.calls.clear();
    proxy.unsetRPCServer();
    EXPECT_EQ(runtime.calls, (std::vector<std::string>{
                                 "unregister UpdateEchoAddrs", "unregister UpdateSpliceStrategy",
                                 "unregister UpdateSpliceStrategies", "unregister AddEchoAddr",
                                 "unregister UpdateEchoInfo", "unregister RequestEchoInfo"}));
    EXPECT_TRUE(runtime.handlers.empty());
}

TEST_F(ProxyServerTest, NullRuntimeWarnsOnSetAndUnsetAndCallsNothing) {
    LogCapture log;
    proxy.setRPCServer(nullptr);
    proxy.unsetRPCServer();
    EXPECT_EQ(log.count(spdlog::level::warn, kNullRuntime, kFile, "setRPCServer"), 1U);
    EXPECT_EQ(log.count(spdlog::level::warn, kNullRuntime, kFile, "unsetRPCServer"), 1U);
    EXPECT_EQ(log.lines().size(), 2U);
    EXPECT_TRUE(runtime.calls.empty());
}

TEST_F(ProxyServerTest, AddEchoAddrAddsEchoThenRepublishesTheReceivedBytes) {
    wire();
    const auto addr = testing::sampleAddr("card-1");
    const std::string payload = testing::argumentWithSurplus(addr);
    runtime.deliver("AddEchoAddr", payload);

    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].name, "addEcho");
    EXPECT_TRUE(testing::sameRecord(calls[0].addrs.at(0), addr));
    ASSERT_EQ(runtime.publications.size(), 1U);
    EXPECT_EQ(runtime.publications[0].name, "AddEchoAddr");
    EXPECT_EQ(runtime.publications[0].payload, payload);
}

TEST_F(ProxyServerTest, UpdateSpliceStrategySetsStrategyThenRepublishes) {
    wire();
    const auto strategy = testing::sampleStrategy("card-1");
    const std::string payload = testing::argumentWithSurplus(strategy);
    runtime.deliver("UpdateSpliceStrategy", payload);

    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].name, "setVideoEchoSpliceStrategy");
    EXPECT_TRUE(testing::sameRecord(calls[0].strategies.at(0), strategy));
    ASSERT_EQ(runtime.publications.size(), 1U);
    EXPECT_EQ(runtime.publications[0].name, "UpdateSpliceStrategy");
    EXPECT_EQ(runtime.publications[0].payload, payload);
}

TEST_F(ProxyServerTest, UpdateSpliceStrategiesSetsAllThenRepublishes) {
    wire();
    const std::vector<VideoEchoSpliceStrategy> strategies{testing::sampleStrategy("card-1", 1),
                                                          testing::sampleStrategy("card-2", 2)};
    const std::string payload = testing::argumentOf(strategies);
    runtime.deliver("UpdateSpliceStrategies", payload);

    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].name, "setVideoEchoSpliceStrategies");
    ASSERT_EQ(calls[0].strategies.size(), 2U);
    EXPECT_TRUE(testing::sameRecord(calls[0].strategies[0], strategies[0]));
    EXPECT_TRUE(testing::sameRecord(calls[0].strategies[1], strategies[1]));
    ASSERT_EQ(runtime.publications.size(), 1U);
    EXPECT_EQ(runtime.publications[0].name, "UpdateSpliceStrategies");
    EXPECT_EQ(runtime.publications[0].payload, payload);
}

TEST_F(ProxyServerTest, UpdateEchoAddrsRepublishesWithoutDecodingOrCallingTheManager) {
    wire();
    const std::string garbage("\xc1\xc1 not msgpack", 15);
    runtime.deliver("UpdateEchoAddrs", garbage);
    EXPECT_TRUE(mgr->calls().empty());
    ASSERT_EQ(runtime.publications.size(), 1U);
    EXPECT_EQ(runtime.publications[0].name, "UpdateEchoAddrs");
    EXPECT_EQ(runtime.publications[0].payload, garbage);
}

TEST_F(ProxyServerTest, UpdateEchoInfoDoesNothing) {
    wire();
    runtime.deliver("UpdateEchoInfo", testing::kEmptyArray);
    EXPECT_TRUE(mgr->calls().empty());
    EXPECT_TRUE(runtime.calls.empty());
}

TEST_F(ProxyServerTest, RequestEchoInfoAsksTheManagerAndPublishesNothing) {
    wire();
    runtime.deliver("RequestEchoInfo", std::string("\xc1", 1));
    EXPECT_EQ(mgr->callNames(), std::vector<std::string>{"getAllEchoInfo"});
    EXPECT_TRUE(runtime.calls.empty());
}

TEST_F(ProxyServerTest, RequestEchoInfoWithoutManagerDoesNothing) {
    proxy.setRPCServer(&runtime);
    runtime.calls.clear();
    EXPECT_NO_THROW(runtime.deliver("RequestEchoInfo", testing::kEmptyArray));
    EXPECT_TRUE(runtime.calls.empty());
}

TEST_F(ProxyServerTest, MalformedPayloadsAreRefusedWithNothingAppliedOrPublished) {
    wire();
    for (const char* method : {"AddEchoAddr", "UpdateSpliceStrategy", "UpdateSpliceStrategies"}) {
        for (const auto& payload : testing::malformedPayloads()) {
            SCOPED_TRACE(method);
            expectRefused(method, payload);
        }
    }
    EXPECT_TRUE(mgr->calls().empty());
    EXPECT_TRUE(runtime.publications.empty());
}

TEST_F(ProxyServerTest, EmptyArrayPayloadsApplyDefaultRecordsAndAreRepublished) {
    wire();
    runtime.deliver("AddEchoAddr", testing::kEmptyArray);
    runtime.deliver("UpdateSpliceStrategy", testing::kEmptyArray);
    runtime.deliver("UpdateSpliceStrategies", testing::kEmptyArray);

    const auto calls = mgr->calls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[0].name, "addEcho");
    EXPECT_TRUE(testing::sameRecord(calls[0].addrs.at(0), VideoEchoAddr{}));
    EXPECT_EQ(calls[1].name, "setVideoEchoSpliceStrategy");
    EXPECT_TRUE(testing::sameRecord(calls[1].strategies.at(0), VideoEchoSpliceStrategy{}));
    EXPECT_EQ(calls[2].name, "setVideoEchoSpliceStrategies");
    EXPECT_TRUE(calls[2].strategies.empty());
    ASSERT_EQ(runtime.publications.size(), 3U);
    for (const auto& publication : runtime.publications) {
        EXPECT_EQ(publication.payload, testing::kEmptyArray);
    }
}

TEST_F(ProxyServerTest, ReceiptsWithoutManagerAreStillRepublished) {
    proxy.setRPCServer(&runtime);
    const std::string payload = testing::argumentOf(testing::sampleAddr("card-1"));
    runtime.deliver("AddEchoAddr", payload);
    runtime.deliver("UpdateSpliceStrategy", testing::argumentOf(testing::sampleStrategy("c")));
    ASSERT_EQ(runtime.publications.size(), 2U);
    EXPECT_EQ(runtime.publications[0].payload, payload);
    EXPECT_TRUE(mgr->calls().empty());
}

TEST_F(ProxyServerTest, ManagerSignalsArePublishedAsOneElementArrays) {
    wire();
    const auto addr = testing::sampleAddr("card-9");
    const auto strategy = testing::sampleStrategy("card-9");
    mgr->echoAddrChanged(addr);
    mgr->spliceStrategyChanged(strategy);
    ASSERT_EQ(runtime.publications.size(), 2U);
    EXPECT_EQ(runtime.publications[0].name, "AddEchoAddr");
    EXPECT_EQ(runtime.publications[0].payload, testing::argumentOf(addr));
    EXPECT_EQ(runtime.publications[1].name, "UpdateSpliceStrategy");
    EXPECT_EQ(runtime.publications[1].payload, testing::argumentOf(strategy));
}

TEST_F(ProxyServerTest, ReadyChangedIsConnectedAndHarmless) {
    wire();
    EXPECT_EQ(mgr->readyChanged.num_slots(), 1U);
    mgr->readyChanged(true);
    EXPECT_TRUE(runtime.calls.empty());
    EXPECT_TRUE(mgr->calls().empty());
}

TEST_F(ProxyServerTest, SettingTheManagerTwicePublishesEachSignalTwice) {
    wire();
    proxy.setVideoEchoMgr(mgr);
    mgr->echoAddrChanged(testing::sampleAddr("card-1"));
    EXPECT_EQ(runtime.publications.size(), 2U);
}

TEST_F(ProxyServerTest, UnsetManagerStopsPublishingButReceiptsStillReachIt) {
    wire();
    proxy.unsetVideoEchoMgr();
    EXPECT_EQ(mgr->echoAddrChanged.num_slots(), 0U);
    EXPECT_EQ(mgr->readyChanged.num_slots(), 0U);
    EXPECT_EQ(mgr->spliceStrategyChanged.num_slots(), 0U);
    mgr->echoAddrChanged(testing::sampleAddr("card-1"));
    EXPECT_TRUE(runtime.publications.empty());

    runtime.deliver("AddEchoAddr", testing::argumentOf(testing::sampleAddr("card-2")));
    EXPECT_EQ(mgr->callNames(), std::vector<std::string>{"addEcho"});
}

TEST_F(ProxyServerTest, ReplacingTheManagerKeepsTheEarlierManagersSlots) {
    wire();
    auto second = std::make_shared<FakeVideoEchoMgr>();
    proxy.setVideoEchoMgr(second);
    proxy.unsetVideoEchoMgr();
    EXPECT_EQ(second->echoAddrChanged.num_slots(), 0U);
    EXPECT_EQ(mgr->echoAddrChanged.num_slots(), 1U);
}

TEST_F(ProxyServerTest, ManagerSignalWithoutRuntimeIsNotPublished) {
    LogCapture log;
    proxy.setVideoEchoMgr(mgr);
    EXPECT_NO_THROW(mgr->echoAddrChanged(testing::sampleAddr("card-1")));
    EXPECT_NO_THROW(mgr->spliceStrategyChanged(testing::sampleStrategy("card-1")));
    EXPECT_TRUE(runtime.calls.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProxyServerTest, CopiesShareTheirState) {
    VideoEchoDisptachMultimachineProxyServer copy(proxy);
    copy.setRPCServer(&runtime);
    proxy.setVideoEchoMgr(mgr);
    mgr->echoAddrChanged(testing::sampleAddr("card-1"));
    EXPECT_EQ(runtime.publications.size(), 1U);

    VideoEchoDisptachMultimachineProxyServer assigned;
    assigned = proxy;
    assigned.unsetVideoEchoMgr();
    EXPECT_EQ(mgr->echoAddrChanged.num_slots(), 0U);
}

TEST(ProxyServerLifetimeTest, DestroyedWhileRegisteredAndConnectedDoesNothing) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    host::InProcessRuntime runtime;
    {
        VideoEchoDisptachMultimachineProxyServer proxy;
        proxy.setRPCServer(&runtime);
        proxy.setVideoEchoMgr(mgr);
    }
    ASSERT_TRUE(runtime.hasHandler("AddEchoAddr"));
    EXPECT_EQ(runtime.deliver("AddEchoAddr", testing::argumentOf(testing::sampleAddr("c"))), "");
    EXPECT_EQ(runtime.deliver("RequestEchoInfo", testing::kEmptyArray), "");
    mgr->echoAddrChanged(testing::sampleAddr("card-1"));
    mgr->readyChanged(true);
    EXPECT_EQ(mgr->readyChanged.num_slots(), 0U);
    EXPECT_TRUE(mgr->calls().empty());
    EXPECT_TRUE(runtime.publications().empty());
}

TEST(ProxyServerLifetimeTest, ManagerDestroyedBeforeTheProxyIsHarmless) {
    RecordingRuntime runtime;
    VideoEchoDisptachMultimachineProxyServer proxy;
    proxy.setRPCServer(&runtime);
    {
        auto mgr = std::make_shared<FakeVideoEchoMgr>();
        proxy.setVideoEchoMgr(mgr);
        proxy.setVideoEchoMgr(nullptr);
    }
    runtime.deliver("AddEchoAddr", testing::argumentOf(testing::sampleAddr("c")));
    EXPECT_EQ(runtime.publications.size(), 1U);
}

}  // namespace
}  // namespace tarn::mediadispatch
