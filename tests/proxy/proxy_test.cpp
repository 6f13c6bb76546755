// The two proxies against a recording runtime: what each delivery does to the manager and what is
// republished, the registrations, and the two proxies together over the in-process runtime.
#include <functional>
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
using testing::sampleAddr;
using testing::sampleStrategy;
using testsupport::LogCapture;
using Call = FakeVideoEchoMgr::Call;

const std::vector<VideoEchoAddr> kAddrs{sampleAddr("a"), sampleAddr("b"), sampleAddr("c")};
const std::vector<VideoEchoSpliceStrategy> kStrategies{sampleStrategy("a", 1),
                                                       sampleStrategy("b", 2)};

void expectCalls(const std::vector<Call>& got, const std::vector<Call>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].name, want[i].name) << "call " << i;
        ASSERT_EQ(got[i].addrs.size(), want[i].addrs.size()) << "call " << i;
        for (std::size_t a = 0; a < want[i].addrs.size(); ++a) {
            EXPECT_TRUE(testing::sameRecord(got[i].addrs[a], want[i].addrs[a])) << "call " << i;
        }
        ASSERT_EQ(got[i].strategies.size(), want[i].strategies.size()) << "call " << i;
        for (std::size_t s = 0; s < want[i].strategies.size(); ++s) {
            EXPECT_TRUE(testing::sameRecord(got[i].strategies[s], want[i].strategies[s]))
                << "call " << i;
        }
    }
}

void expectRefused(RecordingRuntime& runtime, const std::string& method,
                   const std::string& payload) {
    try {
        runtime.deliver(method, payload);
        ADD_FAILURE() << method << " accepted a malformed payload of " << payload.size()
                      << " bytes";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
    }
}

struct Delivery {
    std::string method;
    std::string payload;
    std::vector<Call> calls;  // what the manager receives
    bool republished;         // by the server: the received bytes, under the same name
};

TEST(ProxyServer, EachDeliveryReachesTheManagerAndIsRepublishedAsReceived) {
    const std::string garbage("\xc1\xc1 not msgpack", 15);
    const std::vector<Delivery> cases{
        {"AddEchoAddr",
         testing::argumentWithSurplus(kAddrs[0]),
         {{"addEcho", {kAddrs[0]}, {}}},
         true},
        {"UpdateSpliceStrategy",
         testing::argumentWithSurplus(kStrategies[0]),
         {{"setVideoEchoSpliceStrategy", {}, {kStrategies[0]}}},
         true},
        {"UpdateSpliceStrategies",
         testing::argumentOf(kStrategies),
         {{"setVideoEchoSpliceStrategies", {}, kStrategies}},
         true},
        {"AddEchoAddr", testing::kEmptyArray, {{"addEcho", {VideoEchoAddr{}}, {}}}, true},
        {"UpdateSpliceStrategy",
         testing::kEmptyArray,
         {{"setVideoEchoSpliceStrategy", {}, {VideoEchoSpliceStrategy{}}}},
         true},
        {"UpdateSpliceStrategies",
         testing::kEmptyArray,
         {{"setVideoEchoSpliceStrategies", {}, {}}},
         true},
        // Passed on without being decoded.
        {"UpdateEchoAddrs", garbage, {}, true},
        {"UpdateEchoInfo", testing::kEmptyArray, {}, false},
        {"RequestEchoInfo", std::string("\xc1", 1), {{"getAllEchoInfo", {}, {}}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " of " + std::to_string(c.payload.size()) + " bytes");
        auto mgr = std::make_shared<FakeVideoEchoMgr>();
        RecordingRuntime runtime;
        VideoEchoDisptachMultimachineProxyServer proxy;
        proxy.setRPCServer(&runtime);
        proxy.setVideoEchoMgr(mgr);
        runtime.calls.clear();
        runtime.deliver(c.method, c.payload);
        expectCalls(mgr->calls(), c.calls);
        ASSERT_EQ(runtime.publications.size(), c.republished ? 1U : 0U);
        if (c.republished) {
            EXPECT_EQ(runtime.publications[0].name, c.method);
            EXPECT_EQ(runtime.publications[0].payload, c.payload);
        }
    }
}

TEST(ProxyClient, EachPushReachesTheManagerInPayloadOrder) {
    const std::vector<Delivery> cases{
        {"AddEchoAddr", testing::argumentOf(kAddrs[0]), {{"AddMedia", {kAddrs[0]}, {}}}, false},
        {"UpdateSpliceStrategy",
         testing::argumentWithSurplus(kStrategies[0]),
         {{"updateSpliceStrategy", {}, {kStrategies[0]}}},
         false},
        {"UpdateEchoAddrs",
         testing::argumentOf(kAddrs),
         {{"AddMedia", {kAddrs[0]}, {}},
          {"AddMedia", {kAddrs[1]}, {}},
          {"AddMedia", {kAddrs[2]}, {}}},
         false},
        {"UpdateSpliceStrategies",
         testing::argumentOf(kStrategies),
         {{"updateSpliceStrategy", {}, {kStrategies[0]}},
          {"updateSpliceStrategy", {}, {kStrategies[1]}}},
         false},
        {"AddEchoAddr", testing::kEmptyArray, {{"AddMedia", {VideoEchoAddr{}}, {}}}, false},
        {"UpdateSpliceStrategy",
         testing::kEmptyArray,
         {{"updateSpliceStrategy", {}, {VideoEchoSpliceStrategy{}}}},
         false},
        {"UpdateEchoAddrs", testing::kEmptyArray, {}, false},
        {"UpdateSpliceStrategies", testing::kEmptyArray, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " of " + std::to_string(c.payload.size()) + " bytes");
        auto mgr = std::make_shared<FakeVideoEchoMgr>();
        RecordingRuntime runtime;
        VideoEchoDisptachMultimachineProxyClient proxy;
        proxy.setVideoEchoMgr(mgr);
        proxy.setRPCClient(&runtime);
        runtime.calls.clear();
        runtime.deliver(c.method, c.payload);
        expectCalls(mgr->calls(), c.calls);
        EXPECT_TRUE(runtime.publications.empty());
        EXPECT_TRUE(runtime.calls.empty());
    }
}

TEST(Proxies, MalformedPayloadsAreRefusedWithNothingAppliedOrPublished) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    RecordingRuntime main;
    VideoEchoDisptachMultimachineProxyServer server;
    server.setRPCServer(&main);
    server.setVideoEchoMgr(mgr);
    RecordingRuntime node;
    VideoEchoDisptachMultimachineProxyClient client;
    client.setVideoEchoMgr(mgr);
    client.setRPCClient(&node);
    for (const auto& payload : testing::malformedPayloads()) {
        for (const char* method :
             {"AddEchoAddr", "UpdateSpliceStrategy", "UpdateSpliceStrategies"}) {
            SCOPED_TRACE(method);
            expectRefused(main, method, payload);
            expectRefused(node, method, payload);
        }
        expectRefused(node, "UpdateEchoAddrs", payload);
    }
    EXPECT_TRUE(mgr->calls().empty());
    EXPECT_TRUE(main.publications.empty());
}

// Registration order, the warnings of a null runtime, and what is left after unset or destruction.
TEST(Proxies, RegisterInOrderAndLeaveNothingBehind) {
    const std::vector<std::string> serverMethods{"UpdateEchoAddrs",        "UpdateSpliceStrategy",
                                                 "UpdateSpliceStrategies", "AddEchoAddr",
                                                 "UpdateEchoInfo",         "RequestEchoInfo"};
    const std::vector<std::string> clientMethods{"AddEchoAddr", "UpdateSpliceStrategy",
                                                 "UpdateEchoAddrs", "UpdateSpliceStrategies"};
    auto prefixed = [](const char* verb, const std::vector<std::string>& names) {
        std::vector<std::string> out;
        for (const auto& name : names) {
            out.push_back(std::string(verb) + " " + name);
        }
        return out;
    };
    RecordingRuntime runtime;
    {
        VideoEchoDisptachMultimachineProxyServer server;
        server.setRPCServer(&runtime);
        server.unsetRPCServer();
        VideoEchoDisptachMultimachineProxyClient client;
        client.setRPCClient(&runtime);
        client.unsetRPCClient();
    }
    std::vector<std::string> want = prefixed("register", serverMethods);
    for (const auto& part :
         {prefixed("unregister", serverMethods), prefixed("register", clientMethods),
          prefixed("unregister", clientMethods)}) {
        want.insert(want.end(), part.begin(), part.end());
    }
    EXPECT_EQ(runtime.calls, want);
    EXPECT_TRUE(runtime.handlers.empty());

    LogCapture log;
    VideoEchoDisptachMultimachineProxyServer server;
    server.setRPCServer(nullptr);
    server.unsetRPCServer();
    VideoEchoDisptachMultimachineProxyClient client;
    client.setRPCClient(nullptr);
    client.unsetRPCClient();
    const char* serverFile = "videoechodispatchmultimachineproxyserver.cpp";
    const char* clientFile = "videoechodispatchmultimachineproxyclient.cpp";
    const char* serverNull = "VideoEchoDisptachMultimachineProxyServer qvRuntime is null!";
    const char* clientNull = "videoechodispatchmultimachineproxyclient qvRuntime is null!";
    EXPECT_EQ(log.count(spdlog::level::warn, serverNull, serverFile, "setRPCServer"), 1U);
    EXPECT_EQ(log.count(spdlog::level::warn, serverNull, serverFile, "unsetRPCServer"), 1U);
    EXPECT_EQ(log.count(spdlog::level::warn, clientNull, clientFile, "setRPCClient"), 1U);
    EXPECT_EQ(log.count(spdlog::level::warn, clientNull, clientFile, "unsetRPCClient"), 1U);
    EXPECT_EQ(log.lines().size(), 4U);
}

TEST(ProxyServer, ManagerSignalsArePublishedUntilTheManagerIsUnset) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    RecordingRuntime runtime;
    VideoEchoDisptachMultimachineProxyServer proxy;
    proxy.setRPCServer(&runtime);
    proxy.setVideoEchoMgr(mgr);
    mgr->echoAddrChanged(kAddrs[0]);
    mgr->spliceStrategyChanged(kStrategies[0]);
    ASSERT_EQ(runtime.publications.size(), 2U);
    EXPECT_EQ(runtime.publications[0].name, "AddEchoAddr");
    EXPECT_EQ(runtime.publications[0].payload, testing::argumentOf(kAddrs[0]));
    EXPECT_EQ(runtime.publications[1].name, "UpdateSpliceStrategy");
    EXPECT_EQ(runtime.publications[1].payload, testing::argumentOf(kStrategies[0]));
    proxy.unsetVideoEchoMgr();
    EXPECT_EQ(mgr->echoAddrChanged.num_slots() + mgr->spliceStrategyChanged.num_slots() +
                  mgr->readyChanged.num_slots(),
              0U);
    // Receipts still reach the manager; without one they are still republished.
    runtime.deliver("AddEchoAddr", testing::argumentOf(kAddrs[1]));
    EXPECT_EQ(mgr->callNames(), std::vector<std::string>{"addEcho"});
    proxy.setVideoEchoMgr(nullptr);
    runtime.deliver("AddEchoAddr", testing::argumentOf(kAddrs[2]));
    EXPECT_EQ(runtime.publications.size(), 4U);
}

TEST(ProxyClient, PushWithoutManagerIsDroppedWithAWarning) {
    RecordingRuntime runtime;
    VideoEchoDisptachMultimachineProxyClient proxy;
    proxy.setRPCClient(&runtime);
    LogCapture log;
    EXPECT_NO_THROW(runtime.deliver("AddEchoAddr", testing::argumentOf(kAddrs[0])));
    EXPECT_EQ(log.count(spdlog::level::warn,
                        "videoechodispatchmultimachineproxyclient videoEchoMgr is null, "
                        "AddEchoAddr dropped!",
                        "videoechodispatchmultimachineproxyclient.cpp", "managerFor"),
              1U);
}

// Both proxies over the in-process runtime: a node's call is applied on the main machine, the
// republished bytes reach every node, and destroyed proxies leave handlers that do nothing.
TEST(Proxies, NodeCallIsAppliedOnMainAndReachesEveryNode) {
    auto network = std::make_shared<host::InProcessNetwork>();
    host::InProcessRuntime main(network, host::InProcessRuntime::Role::Main);
    host::InProcessRuntime nodeA(network, host::InProcessRuntime::Role::Node);
    host::InProcessRuntime nodeB(network, host::InProcessRuntime::Role::Node);
    auto mainMgr = std::make_shared<FakeVideoEchoMgr>();
    auto mgrA = std::make_shared<FakeVideoEchoMgr>();
    auto mgrB = std::make_shared<FakeVideoEchoMgr>();
    auto server = std::make_unique<VideoEchoDisptachMultimachineProxyServer>();
    server->setRPCServer(&main);
    server->setVideoEchoMgr(mainMgr);
    auto clientA = std::make_unique<VideoEchoDisptachMultimachineProxyClient>();
    clientA->setVideoEchoMgr(mgrA);
    clientA->setRPCClient(&nodeA);
    VideoEchoDisptachMultimachineProxyClient clientB;
    clientB.setVideoEchoMgr(mgrB);
    clientB.setRPCClient(&nodeB);

    EXPECT_EQ(nodeA.call("UpdateSpliceStrategy", testing::argumentOf(kStrategies[0])), "");
    expectCalls(mainMgr->calls(), {{"setVideoEchoSpliceStrategy", {}, {kStrategies[0]}}});
    mainMgr->echoAddrChanged(kAddrs[0]);
    for (const auto& mgr : {mgrA, mgrB}) {
        expectCalls(mgr->calls(), {{"updateSpliceStrategy", {}, {kStrategies[0]}},
                                   {"AddMedia", {kAddrs[0]}, {}}});
    }

    clientB.unsetRPCClient();
    server.reset();
    clientA.reset();
    EXPECT_EQ(main.deliver("AddEchoAddr", testing::argumentOf(kAddrs[1])), "");
    EXPECT_EQ(nodeA.deliver("AddEchoAddr", testing::argumentOf(kAddrs[1])), "");
    main.publish("AddEchoAddr", testing::kEmptyArray.data(), 1);
    mainMgr->echoAddrChanged(kAddrs[1]);
    EXPECT_EQ(mainMgr->calls().size(), 1U);
    EXPECT_EQ(mgrA->calls().size(), 2U);
    EXPECT_EQ(mgrB->calls().size(), 2U);
    EXPECT_EQ(mainMgr->readyChanged.num_slots() + mgrA->readyChanged.num_slots(), 0U);
}

}  // namespace
}  // namespace tarn::mediadispatch
