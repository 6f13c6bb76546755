// The two proxies against a recording runtime: what each delivery does to the manager and what is
// republished, malformed payloads, the registrations and warnings, and proxies destroyed while
// registered.
#include <gtest/gtest.h>

#include <optional>

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

// A main machine's server and a node's client on one manager, each on a recording runtime.
struct Wired {
    Wired() {
        server->setRPCServer(&main);
        server->setVideoEchoMgr(mgr);
        client->setVideoEchoMgr(mgr);
        client->setRPCClient(&node);
    }
    std::shared_ptr<Mgr> mgr = std::make_shared<Mgr>();
    RecordingRuntime main;
    RecordingRuntime node;
    std::optional<Server> server{std::in_place};
    std::optional<Client> client{std::in_place};
};

// Malformed payloads are refused with nothing applied or published. The server applies and
// republishes every record it receives (surplus arguments ignored, an empty array as a default
// record); the client hands each address and strategy of a list on in order. Proxies destroyed
// while registered leave handlers that do nothing, and no slot on the manager.
TEST(Proxies, EachDeliveryReachesTheManagerAndTheServerRepublishesItMalformedOnesNothing) {
    const auto on = [](const char* name, const auto& value) { return Mgr::call(name, value); };
    const auto& [A0, A1, A2] = std::tie(kAddrs[0], kAddrs[1], kAddrs[2]);
    const auto& [S0, S1] = std::tie(kStrategies[0], kStrategies[1]);
    Wired w;
    for (const auto& payload : malformedPayloads()) {
        for (const auto* runtime : {&w.main, &w.node}) {
            for (const auto& [method, handler] : runtime->handlers) {
                if ((method == "UpdateEchoAddrs" && runtime == &w.main) ||        // passed on as is
                    method == "UpdateEchoInfo" || method == "RequestEchoInfo") {  // no argument
                    continue;
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
    EXPECT_TRUE(w.mgr->calls().empty());
    EXPECT_TRUE(w.main.publications.empty());
    std::vector<std::string> republished;
    for (const auto& [method, payload] : std::vector<std::pair<std::string, std::string>>{
             {"AddEchoAddr", argumentWithSurplus(A0)},
             {"UpdateSpliceStrategy", argumentWithSurplus(S0)},
             {"UpdateSpliceStrategies", argumentOf(kStrategies)},
             {"AddEchoAddr", kEmptyArray},
             {"UpdateSpliceStrategy", kEmptyArray},
             {"UpdateSpliceStrategies", kEmptyArray},
             {"UpdateEchoAddrs", "\xc1\xc1 not msgpack"}}) {
        w.main.deliver(method, payload);
        republished.push_back(method + " " + payload);
    }
    w.main.deliver("UpdateEchoInfo", kEmptyArray);
    w.main.deliver("RequestEchoInfo", "\xc1");
    EXPECT_EQ(w.main.publications, republished);
    w.node.deliver("AddEchoAddr", argumentOf(A0));
    w.node.deliver("UpdateSpliceStrategy", argumentWithSurplus(S0));
    w.node.deliver("UpdateEchoAddrs", argumentOf(kAddrs));
    w.node.deliver("UpdateSpliceStrategies", argumentOf(kStrategies));
    w.node.deliver("UpdateEchoAddrs", kEmptyArray);
    EXPECT_TRUE(w.node.publications.empty());
    EXPECT_EQ(w.mgr->calls(), (std::vector<std::string>{
                                  on("addEcho", A0),
                                  on("setVideoEchoSpliceStrategy", S0),
                                  on("setVideoEchoSpliceStrategies", kStrategies),
                                  on("addEcho", VideoEchoAddr{}),
                                  on("setVideoEchoSpliceStrategy", Strategy{}),
                                  on("setVideoEchoSpliceStrategies", std::vector<Strategy>{}),
                                  "getAllEchoInfo",
                                  on("AddMedia", A0),
                                  on("updateSpliceStrategy", S0),
                                  on("AddMedia", A0),
                                  on("AddMedia", A1),
                                  on("AddMedia", A2),
                                  on("updateSpliceStrategy", S0),
                                  on("updateSpliceStrategy", S1),
                              }));
    w.server.reset();
    w.client.reset();
    for (auto* runtime : {&w.main, &w.node}) {
        runtime->deliver("AddEchoAddr", argumentOf(kAddrs[0]));
    }
    w.mgr->echoAddrChanged(kAddrs[0]);
    EXPECT_EQ(w.mgr->calls().size(), 14U);
    EXPECT_EQ(w.main.publications, republished);
    EXPECT_EQ(w.mgr->readyChanged.num_slots() + w.mgr->echoAddrChanged.num_slots(), 0U);
}

// The registrations, the warnings of a null runtime or manager, the manager's signals published
// until it is unset.
TEST(Proxies, RegistrationsWarningsAndSignals) {
    RecordingRuntime runtime;
    {
        Server server;
        server.setRPCServer(&runtime);
        EXPECT_EQ(runtime.handlers.size(), 6U);
        server.unsetRPCServer();
        Client client;
        client.setRPCClient(&runtime);
        EXPECT_EQ(runtime.handlers.size(), 4U);
        client.unsetRPCClient();
    }
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

}  // namespace
}  // namespace tarn::mediadispatch
