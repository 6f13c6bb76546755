// The link's two sides on recording fakes: what the server forwards as RPC calls, what the client
// publishes, the warnings each side logs, and the subscriptions and slots each leaves behind.
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <tarnmediadispatchvideoecho/videoecholink.h>

#include "fakevideoechomgr.h"
#include "logcapture.h"
#include "payloads.h"
#include "recordinglinkmgr.h"
#include "recordingrpcserver.h"

namespace tarn::mediadispatch {
namespace {

using testing::FakeVideoEchoMgr;
using testing::RecordingLinkMgr;
using testing::RecordingRpcServer;
using vantor::link::ServerNodeInfo;

const std::vector<std::string> kKeys{"42AddEchoAddr", "42UpdateEchoAddrs", "42UpdateSpliceStrategy",
                                     "42UpdateSpliceStrategies"};
const std::string kArrayOfEmptyArray("\x91\x90", 2);

// One machine's collaborators and the two sides of its link.
struct Machine {
    std::shared_ptr<FakeVideoEchoMgr> mgr = std::make_shared<FakeVideoEchoMgr>();
    std::shared_ptr<RecordingLinkMgr> link = std::make_shared<RecordingLinkMgr>();
    VideoEchoLinkServer server;
    VideoEchoLinkClient client;

    void wire() {
        server.setLinkMgr(link);
        server.setVideoEchoMgr(mgr);
        client.setLinkMgr(link);
        client.setVideoEchoMgr(mgr);
    }
};

TEST(Link, ServerForwardsEachDeliveryAndEachReturningNodeAsRpcCalls) {
    using Calls = std::vector<std::pair<std::string, std::string>>;  // method, argument array
    const auto addr = testing::sampleAddr("card-1");
    const std::vector<VideoEchoAddr> addrs{testing::sampleAddr("a"), testing::sampleAddr("b")};
    const auto strategy = testing::sampleStrategy("a");
    const std::vector<VideoEchoSpliceStrategy> strategies{strategy, testing::sampleStrategy("b")};
    struct Case {
        const char* what;
        std::function<void(Machine&)> act;
        Calls calls;
        std::vector<std::string> queries;  // of the manager
    };
    const std::vector<Case> cases = {
        {"each key under its method",
         [&](Machine& m) {
             m.link->deliver("42AddEchoAddr", wire::encodeRecord(addr));
             m.link->deliver("42UpdateEchoAddrs", wire::encodeRecord(addrs));
             m.link->deliver("42UpdateSpliceStrategy", wire::encodeRecord(strategy));
             m.link->deliver("42UpdateSpliceStrategies", wire::encodeRecord(strategies));
         },
         {{"AddEchoAddr", testing::argumentOf(addr)},
          {"UpdateEchoAddrs", testing::argumentOf(addrs)},
          {"UpdateSpliceStrategy", testing::argumentOf(strategy)},
          {"UpdateSpliceStrategies", testing::argumentOf(strategies)}},
         {}},
        {"empty arrays as default records and empty lists",
         [](Machine& m) {
             for (const auto& key : kKeys) {
                 m.link->deliver(key, testing::kEmptyArray);
             }
         },
         {{"AddEchoAddr", testing::argumentOf(VideoEchoAddr{})},
          {"UpdateEchoAddrs", kArrayOfEmptyArray},
          {"UpdateSpliceStrategy", testing::argumentOf(VideoEchoSpliceStrategy{})},
          {"UpdateSpliceStrategies", kArrayOfEmptyArray}},
         {}},
        {"a node that comes back gets both lists, a lost one nothing",
         [&](Machine& m) {
             m.mgr->setAddrs(addrs);
             m.mgr->setStrategies(strategies);
             m.link->serverNodeInfoChanged(ServerNodeInfo{true, "n"});
             m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
         },
         {{"UpdateEchoAddrs", testing::argumentOf(addrs)},
          {"UpdateSpliceStrategies", testing::argumentOf(strategies)}},
         {"getAllVideoEchoAddr", "getAllEchoSpliceStrategies"}},
        {"empty lists as empty arrays",
         [](Machine& m) {
             m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
         },
         {{"UpdateEchoAddrs", kArrayOfEmptyArray}, {"UpdateSpliceStrategies", kArrayOfEmptyArray}},
         {"getAllVideoEchoAddr", "getAllEchoSpliceStrategies"}},
    };
    for (const auto& c : cases) {
        RecordingRpcServer peer;
        ASSERT_TRUE(peer.connected);
        Machine m;
        m.wire();
        m.server.setRPCClient(peer.client);
        c.act(m);
        Calls calls;
        for (const auto& call : peer.calls()) {
            calls.emplace_back(call.name, call.args);
        }
        EXPECT_EQ(calls, c.calls) << c.what;
        EXPECT_EQ(m.mgr->callNames(), c.queries) << c.what;
    }
}

TEST(Link, ServerRefusesMalformedPayloadsAndLogsAnUnreachablePeer) {
    RecordingRpcServer peer;
    ASSERT_TRUE(peer.connected);
    Machine m;
    m.wire();
    m.server.setRPCClient(peer.client);
    for (const auto& key : kKeys) {
        for (const auto& payload : testing::malformedPayloads()) {
            try {
                m.link->deliver(key, payload);
                ADD_FAILURE() << key << " took a malformed payload of " << payload.size()
                              << " bytes";
            } catch (const std::invalid_argument& error) {
                EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
            }
        }
    }
    EXPECT_TRUE(peer.calls().empty());

    std::uint16_t port = 0;
    {
        host::rpc::RpcServer probe;  // an ephemeral port that nobody listens on afterwards
        port = probe.port();
    }
    auto unreachable = std::make_shared<multimachine::TcpRPCClient>("127.0.0.1", port);
    m.server.setRPCClient(unreachable);
    testsupport::LogCapture log;
    EXPECT_NO_THROW(m.link->deliver("42AddEchoAddr", wire::encodeRecord(testing::sampleAddr("a"))));
    EXPECT_EQ(
        log.count(spdlog::level::err, "rpc client is not connected", "rpcclientassist.h", "call"),
        1U);
}

TEST(Link, ClientPublishesTheManagersChangesAndItsListsWhenItBecomesMain) {
    using Published = std::vector<std::pair<std::string, std::string>>;  // key, payload
    const auto addr = testing::sampleAddr("card-1", "rtsp://node-a/echo/card-1");
    const auto strategy = testing::sampleStrategy("card-1");
    const std::vector<VideoEchoAddr> addrs{testing::sampleAddr("a"), testing::sampleAddr("b")};
    const std::vector<VideoEchoSpliceStrategy> strategies{strategy};
    struct Case {
        const char* what;
        std::function<void(Machine&)> act;
        Published published;
    };
    const std::vector<Case> cases = {
        {"a new address",
         [&](Machine& m) { m.mgr->echoAddrChanged(addr); },
         {{"42AddEchoAddr", wire::encodeRecord(addr)}}},
        {"a new strategy",
         [&](Machine& m) { m.mgr->spliceStrategyChanged(strategy); },
         {{"42UpdateSpliceStrategy", wire::encodeRecord(strategy)}}},
        {"node, then main",
         [&](Machine& m) {
             m.mgr->setAddrs(addrs);
             m.mgr->setStrategies(strategies);
             m.link->serverTypeChanged(vantor::link::kServerTypeNode);
             m.link->serverTypeChanged(vantor::link::kServerTypeMain);
         },
         {{"42UpdateEchoAddrs", wire::encodeRecord(addrs)},
          {"42UpdateSpliceStrategies", wire::encodeRecord(strategies)}}},
        {"main with empty lists",
         [](Machine& m) { m.link->serverTypeChanged(vantor::link::kServerTypeMain); },
         {{"42UpdateEchoAddrs", testing::kEmptyArray},
          {"42UpdateSpliceStrategies", testing::kEmptyArray}}},
        {"a replaced manager",
         [&](Machine& m) {
             auto second = std::make_shared<FakeVideoEchoMgr>();
             m.client.setVideoEchoMgr(second);
             m.mgr->echoAddrChanged(addr);
             second->spliceStrategyChanged(strategy);
         },
         {{"42UpdateSpliceStrategy", wire::encodeRecord(strategy)}}},
    };
    for (const auto& c : cases) {
        Machine m;
        m.wire();
        testsupport::LogCapture log;
        c.act(m);
        Published published;
        for (const auto& message : m.link->published) {
            published.emplace_back(message.key, message.payload);
            EXPECT_TRUE(message.flag && message.targets.empty() && message.reserved == 0) << c.what;
        }
        EXPECT_EQ(published, c.published) << c.what;
        const bool addressSent = c.published[0].first == "42AddEchoAddr";
        EXPECT_EQ(log.lines().size(), addressSent ? 1u : 0u) << c.what;
        EXPECT_EQ(log.count(spdlog::level::info, "send current address is:" + addr.url,
                            "videoecholinkclient.cpp", "onLocalEchoAddrChanged"),
                  addressSent ? 1u : 0u)
            << c.what;
    }
}

// Each case logs exactly the warnings listed: level, text, source file and function.
TEST(Link, MissingCollaboratorsAreWarnedWithTheirSideAndFunction) {
    using Warning = std::tuple<spdlog::level::level_enum, std::string, std::string, std::string>;
    const auto warn = spdlog::level::warn;
    const std::string server = "videoecholinkserver.cpp";
    const std::string client = "videoecholinkclient.cpp";
    struct Case {
        const char* what;
        std::function<void(Machine&)> act;
        std::vector<Warning> warnings;
    };
    const std::vector<Case> cases = {
        {"empty references on both sides",
         [](Machine& m) {
             VideoEchoLink link;
             link.setLinkMgr(std::weak_ptr<ILinkMgr>());
             link.setRPCClient(std::weak_ptr<IRPCClient>());
             link.setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr>());
             EXPECT_TRUE(m.link->subscribedKeys.empty());
         },
         {{warn, "sharedLinkMgr is nullptr!", client, "setLinkMgr"},
          {warn, "sharedLinkMgr is nullptr!", server, "setLinkMgr"},
          {warn, "sharedLinkMgr is nullptr!", server, "setVideoEchoMgr"},
          {warn, "sharedvideoEchoMgr is nullptr!", client, "setVideoEchoMgr"}}},
        {"the echo manager before the link manager subscribes nothing",
         [](Machine& m) {
             VideoEchoLink link;
             link.setVideoEchoMgr(m.mgr);
             link.setLinkMgr(m.link);
             EXPECT_TRUE(m.link->subscribedKeys.empty());
         },
         {{warn, "sharedLinkMgr is nullptr!", server, "setVideoEchoMgr"}}},
        {"deliveries without an RPC client are dropped",
         [](Machine& m) {
             m.wire();
             for (const auto& key : kKeys) {
                 EXPECT_NO_THROW(m.link->deliver(key, std::string("\xc1", 1)));
             }
         },
         {{warn, "sharedRpcClient is nullptr!", server, "onRemoteEchoAddrChanged"},
          {warn, "sharedRpcClient is nullptr!", server, "onRemoteEchoAddrsReceived"},
          {warn, "sharedRpcClient is nullptr!", server, "onUpdateRemoteSpliceStrategy"},
          {warn, "sharedRpcClient is nullptr!", server, "onUpdateRemoteSpliceStrategies"}}},
        {"node status without manager, then without RPC client",
         [](Machine& m) {
             m.server.setLinkMgr(m.link);
             m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
             m.server.setVideoEchoMgr(m.mgr);
             m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
         },
         {{warn, "sharedPhysicsOutput is nullptr!", server, "localStatusChanged"},
          {warn, "sharedRpcClient is nullptr!", server, "localStatusChanged"}}},
        {"becoming main without manager",
         [](Machine& m) {
             m.client.setLinkMgr(m.link);
             m.link->serverTypeChanged(vantor::link::kServerTypeMain);
             EXPECT_TRUE(m.link->published.empty());
         },
         {{warn, "sharedPhysicsOutput is nullptr!", client, "localStatusChanged"}}},
        {"manager signals without link manager",
         [](Machine& m) {
             m.client.setVideoEchoMgr(m.mgr);
             m.mgr->echoAddrChanged(testing::sampleAddr("a"));
             m.mgr->spliceStrategyChanged(testing::sampleStrategy("a"));
         },
         {{warn, "sharedLinkMgr is nullptr!", client, "onLocalEchoAddrChanged"},
          {warn, "sharedLinkMgr is nullptr!", client, "onUpdateSpliceStrategy"}}},
    };
    for (const auto& c : cases) {
        Machine m;
        testsupport::LogCapture log;
        c.act(m);
        for (const auto& [level, text, file, function] : c.warnings) {
            EXPECT_EQ(log.count(level, text, file, function), 1u) << c.what << ": " << function;
        }
        EXPECT_EQ(log.lines().size(), c.warnings.size()) << c.what;
    }
}

TEST(Link, SubscriptionsAndSlotsLastAsLongAsTheSides) {
    auto mgr = std::make_shared<FakeVideoEchoMgr>();
    auto link = std::make_shared<RecordingLinkMgr>();
    {
        Machine m;
        m.mgr = mgr;
        m.link = link;
        m.wire();
        EXPECT_EQ(link->subscribedKeys, kKeys);
        m.server.setVideoEchoMgr(mgr);  // subscribes every key again
        EXPECT_EQ(link->subscriptionCount(), 8U);
        m.server.setLinkMgr(link);  // one more status slot per call
        EXPECT_EQ(link->serverNodeInfoChanged.num_slots(), 2U);
        m.client.setLinkMgr(std::make_shared<RecordingLinkMgr>());  // the slot moves
        EXPECT_EQ(link->serverTypeChanged.num_slots(), 0U);
    }
    EXPECT_EQ(link->subscriptionCount(), 0U);
    EXPECT_EQ(link->unsubscribed.size(), 8U);
    EXPECT_EQ(link->serverNodeInfoChanged.num_slots(), 0U);
    EXPECT_EQ(mgr->echoAddrChanged.num_slots() + mgr->spliceStrategyChanged.num_slots(), 0U);
    mgr->echoAddrChanged(testing::sampleAddr("a"));
    EXPECT_EQ(link->deliver("42AddEchoAddr", std::string("\xc1", 1)), 0U);
    EXPECT_TRUE(link->published.empty());

    Machine outlived;  // destroyed after its link manager
    auto shortLived = std::make_shared<RecordingLinkMgr>();
    outlived.link = shortLived;
    outlived.wire();
    shortLived.reset();
    outlived.link.reset();
}

// Two machines on an in-process link bus: what one machine's manager announces is published by its
// link client and forwarded by the other machine's link server as an RPC call.
TEST(Link, AnAnnouncementTravelsFromOneMachineToTheOthersRpcPeer) {
    RecordingRpcServer peer;
    ASSERT_TRUE(peer.connected);
    auto bus = std::make_shared<vantor::link::InProcessLinkBus>();
    auto mgrA = std::make_shared<FakeVideoEchoMgr>();
    auto mgrB = std::make_shared<FakeVideoEchoMgr>();
    auto linkMgrA = std::make_shared<vantor::link::InProcessLinkMgr>(bus, "a");
    VideoEchoLink linkA;
    linkA.setLinkMgr(linkMgrA);
    linkA.setVideoEchoMgr(mgrA);
    auto linkMgrB = std::make_shared<vantor::link::InProcessLinkMgr>(bus, "b");
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
