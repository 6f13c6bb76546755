// The two proxies against a recording runtime: what each delivery does to the manager and what is
// republished, the registrations, and the two proxies together over the in-process runtime.
#include <gtest/gtest.h>

#include <sstream>

#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyclient.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>

#include "fakevideoechomgr.h"
#include "logcapture.h"
#include "recordingruntime.h"

namespace tarn::mediadispatch {
namespace {

using namespace testing;
using Mgr = FakeVideoEchoMgr;
using Server = VideoEchoDisptachMultimachineProxyServer;
using Client = VideoEchoDisptachMultimachineProxyClient;
using Strategy = VideoEchoSpliceStrategy;

const std::vector<VideoEchoAddr> kAddrs{sampleAddr("a"), sampleAddr("b"), sampleAddr("c")};
const std::vector<Strategy> kStrategies{sampleStrategy("a", 1), sampleStrategy("b", 2)};

enum Side { kNode, kMain, kRelay };  // kRelay: the server republishes what it receives

TEST(Proxies, EachDeliveryReachesTheManagerAndTheServerRepublishesIt) {
    const auto arg = [](const auto& value) { return argumentOf(value); };
    const auto more = [](const auto& value) { return argumentWithSurplus(value); };
    const auto on = [](const char* name, const auto& value) { return Mgr::call(name, value); };
    const auto& [A0, A1, A2] = std::tie(kAddrs[0], kAddrs[1], kAddrs[2]);
    const auto& [S0, S1] = std::tie(kStrategies[0], kStrategies[1]);
    const std::vector<Strategy> none;
    const std::string E = kEmptyArray;
    const VideoEchoAddr noA;
    const Strategy noS;
    const struct {
        Side side;
        std::string method;
        std::string payload;
        std::vector<std::string> calls;
    } cases[] = {
        {kRelay, "AddEchoAddr", more(A0), {on("addEcho", A0)}},
        {kRelay, "UpdateSpliceStrategy", more(S0), {on("setVideoEchoSpliceStrategy", S0)}},
        {kRelay,
         "UpdateSpliceStrategies",
         arg(kStrategies),
         {on("setVideoEchoSpliceStrategies", kStrategies)}},
        {kRelay, "AddEchoAddr", E, {on("addEcho", noA)}},
        {kRelay, "UpdateSpliceStrategy", E, {on("setVideoEchoSpliceStrategy", noS)}},
        {kRelay, "UpdateSpliceStrategies", E, {on("setVideoEchoSpliceStrategies", none)}},
        {kRelay, "UpdateEchoAddrs", "\xc1\xc1 not msgpack", {}},
        {kMain, "UpdateEchoInfo", E, {}},
        {kMain, "RequestEchoInfo", "\xc1", {"getAllEchoInfo"}},
        {kNode, "AddEchoAddr", arg(A0), {on("AddMedia", A0)}},
        {kNode, "UpdateSpliceStrategy", more(S0), {on("updateSpliceStrategy", S0)}},
        {kNode,
         "UpdateEchoAddrs",
         arg(kAddrs),
         {on("AddMedia", A0), on("AddMedia", A1), on("AddMedia", A2)}},
        {kNode,
         "UpdateSpliceStrategies",
         arg(kStrategies),
         {on("updateSpliceStrategy", S0), on("updateSpliceStrategy", S1)}},
        {kNode, "UpdateEchoAddrs", E, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.side) + " " + c.method + " of " +
                     std::to_string(c.payload.size()) + " bytes");
        auto mgr = std::make_shared<Mgr>();
        RecordingRuntime runtime;
        Server server;
        Client client;
        if (c.side == kNode) {
            client.setVideoEchoMgr(mgr);
            client.setRPCClient(&runtime);
        } else {
            server.setRPCServer(&runtime);
            server.setVideoEchoMgr(mgr);
        }
        runtime.deliver(c.method, c.payload);
        EXPECT_EQ(mgr->calls(), c.calls);
        EXPECT_EQ(runtime.publications.size(), c.side == kRelay ? 1U : 0U);
        if (c.side == kRelay) {
            EXPECT_EQ(runtime.publications[0], c.method + " " + c.payload);
        }
    }
}

TEST(Proxies, MalformedPayloadsAreRefusedWithNothingAppliedOrPublished) {
    auto mgr = std::make_shared<Mgr>();
    RecordingRuntime main;
    RecordingRuntime node;
    Server server;
    server.setRPCServer(&main);
    server.setVideoEchoMgr(mgr);
    Client client;
    client.setVideoEchoMgr(mgr);
    client.setRPCClient(&node);
    for (const auto& payload : malformedPayloads()) {
        for (const auto* runtime : {&main, &node}) {
            for (const auto& [method, handler] : runtime->handlers) {
                if (method == "UpdateEchoAddrs" && runtime == &main) {
                    continue;  // passed on without being decoded
                }
                if (method == "UpdateEchoInfo" || method == "RequestEchoInfo") {
                    continue;  // no argument to decode
                }
                try {
                    handler(method.c_str(), payload.data(), static_cast<unsigned>(payload.size()));
                    ADD_FAILURE() << method << " accepted " << payload.size() << " bad bytes";
                } catch (const std::invalid_argument& error) {
                    EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
                }
            }
        }
    }
    EXPECT_TRUE(mgr->calls().empty());
    EXPECT_TRUE(main.publications.empty());
}

// Registration order, the warnings of a null runtime or manager, the manager's signals published
// until it is unset.
TEST(Proxies, RegistrationsWarningsAndSignals) {
    RecordingRuntime runtime;
    {
        Server server;
        server.setRPCServer(&runtime);
        server.unsetRPCServer();
        Client client;
        client.setRPCClient(&runtime);
        client.unsetRPCClient();
    }
    const std::string serverNames =
        "UpdateEchoAddrs UpdateSpliceStrategy UpdateSpliceStrategies AddEchoAddr UpdateEchoInfo "
        "RequestEchoInfo";
    const std::string clientNames =
        "AddEchoAddr UpdateSpliceStrategy UpdateEchoAddrs UpdateSpliceStrategies";
    std::vector<std::string> want;
    for (const auto& names : {serverNames, clientNames}) {
        for (const char* verb : {"register ", "unregister "}) {
            std::istringstream words(names);
            for (std::string name; words >> name;) {
                want.push_back(verb + name);
            }
        }
    }
    EXPECT_EQ(runtime.calls, want);
    EXPECT_TRUE(runtime.handlers.empty());

    testsupport::LogCapture log;
    Server server;
    server.setRPCServer(nullptr);
    server.unsetRPCServer();
    Client client;
    client.setRPCClient(nullptr);
    client.unsetRPCClient();
    client.setRPCClient(&runtime);
    EXPECT_NO_THROW(runtime.deliver("AddEchoAddr", argumentOf(kAddrs[0])));
    client.unsetRPCClient();
    const std::string serverFile = "videoechodispatchmultimachineproxyserver.cpp";
    const std::string clientFile = "videoechodispatchmultimachineproxyclient.cpp";
    const std::string serverNull = "VideoEchoDisptachMultimachineProxyServer qvRuntime is null!";
    const std::string clientNull = "videoechodispatchmultimachineproxyclient qvRuntime is null!";
    for (const auto& [text, file, function] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {serverNull, serverFile, "setRPCServer"},
             {serverNull, serverFile, "unsetRPCServer"},
             {clientNull, clientFile, "setRPCClient"},
             {clientNull, clientFile, "unsetRPCClient"},
             {"videoechodispatchmultimachineproxyclient videoEchoMgr is null, AddEchoAddr dropped!",
              clientFile, "managerFor"}}) {
        EXPECT_EQ(log.count(spdlog::level::warn, text, file, function), 1U) << text;
    }
    EXPECT_EQ(log.lines().size(), 5U);

    auto mgr = std::make_shared<Mgr>();
    runtime.calls.clear();
    server.setRPCServer(&runtime);
    server.setVideoEchoMgr(mgr);
    mgr->echoAddrChanged(kAddrs[0]);
    mgr->spliceStrategyChanged(kStrategies[0]);
    EXPECT_EQ(runtime.publications,
              (std::vector<std::string>{"AddEchoAddr " + argumentOf(kAddrs[0]),
                                        "UpdateSpliceStrategy " + argumentOf(kStrategies[0])}));
    server.unsetVideoEchoMgr();
    EXPECT_EQ(mgr->echoAddrChanged.num_slots() + mgr->spliceStrategyChanged.num_slots() +
                  mgr->readyChanged.num_slots(),
              0U);
    // Receipts still reach the manager; without one they are still republished.
    runtime.deliver("AddEchoAddr", argumentOf(kAddrs[1]));
    EXPECT_EQ(mgr->callNames(), std::vector<std::string>{"addEcho"});
    server.setVideoEchoMgr(nullptr);
    runtime.deliver("AddEchoAddr", argumentOf(kAddrs[2]));
    EXPECT_EQ(runtime.publications.size(), 4U);
}

// Proxies destroyed while registered leave handlers that do nothing, and no slot on the manager.
TEST(Proxies, DestroyedProxiesLeaveHandlersThatDoNothing) {
    auto mgr = std::make_shared<Mgr>();
    RecordingRuntime main;
    RecordingRuntime node;
    {
        Server server;
        server.setRPCServer(&main);
        server.setVideoEchoMgr(mgr);
        Client client;
        client.setVideoEchoMgr(mgr);
        client.setRPCClient(&node);
    }
    for (auto* runtime : {&main, &node}) {
        runtime->deliver("AddEchoAddr", argumentOf(kAddrs[0]));
    }
    mgr->echoAddrChanged(kAddrs[0]);
    EXPECT_TRUE(mgr->calls().empty());
    EXPECT_TRUE(main.publications.empty());
    EXPECT_EQ(mgr->readyChanged.num_slots() + mgr->echoAddrChanged.num_slots(), 0U);
}

}  // namespace
}  // namespace tarn::mediadispatch
