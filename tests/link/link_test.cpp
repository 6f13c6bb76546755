// The link's two sides on recording fakes: what the server forwards as RPC calls, what the client
// publishes, the warnings each side logs, and the subscriptions and slots each leaves behind.
#include <algorithm>
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

using namespace testing;
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

    void wire() { wire(link); }
    void wire(const std::shared_ptr<ILinkMgr>& linkMgr) {
        server.setLinkMgr(linkMgr);
        server.setVideoEchoMgr(mgr);
        client.setLinkMgr(linkMgr);
        client.setVideoEchoMgr(mgr);
    }
};

// Each key's record under its method (empty arrays as default records and empty lists), nothing
// for a lost node and both lists for one that comes back; malformed payloads refused.
TEST(Link, ServerForwardsDeliveriesReturningNodesAndAnotherMachinesAnnouncementAsRpcCalls) {
    RecordingRpcServer peer;
    ASSERT_TRUE(peer.connected);
    Machine m;
    m.wire();
    m.server.setRPCClient(peer.client);
    const auto addr = sampleAddr("card-1");
    const std::vector<VideoEchoAddr> addrs{sampleAddr("a"), sampleAddr("b")};
    const auto strategy = sampleStrategy("a");
    const std::vector<VideoEchoSpliceStrategy> strategies{strategy, sampleStrategy("b")};
    m.link->deliver("42AddEchoAddr", wire::encodeRecord(addr));
    m.link->deliver("42UpdateEchoAddrs", wire::encodeRecord(addrs));
    m.link->deliver("42UpdateSpliceStrategy", wire::encodeRecord(strategy));
    m.link->deliver("42UpdateSpliceStrategies", wire::encodeRecord(strategies));
    for (const auto& key : kKeys) {
        m.link->deliver(key, kEmptyArray);
        for (const auto& payload : malformedPayloads()) {
            try {
                m.link->deliver(key, payload);
                ADD_FAILURE() << key << " took a malformed payload of " << payload.size();
            } catch (const std::invalid_argument& error) {
                EXPECT_STREQ(error.what(), "unpack failed: Args not match!");
            }
        }
    }
    m.link->serverNodeInfoChanged(ServerNodeInfo{true, "n"});
    m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
    m.mgr->setAddrs(addrs);
    m.mgr->setStrategies(strategies);
    m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
    // Another machine's announcement, over an in-process link bus, reaches the same RPC peer.
    auto bus = std::make_shared<vantor::link::InProcessLinkBus>();
    auto linkA = std::make_shared<vantor::link::InProcessLinkMgr>(bus, "a");
    auto linkB = std::make_shared<vantor::link::InProcessLinkMgr>(bus, "b");
    Machine a;
    a.wire(linkA);
    Machine b;
    b.wire(linkB);
    b.server.setRPCClient(peer.client);
    a.mgr->echoAddrChanged(sampleAddr("card-5"));

    std::vector<std::pair<std::string, std::string>> calls;  // method, argument array
    for (const auto& call : peer.calls()) {
        calls.emplace_back(call.name, call.args);
    }
    const decltype(calls) want = {{"AddEchoAddr", argumentOf(addr)},
                                  {"UpdateEchoAddrs", argumentOf(addrs)},
                                  {"UpdateSpliceStrategy", argumentOf(strategy)},
                                  {"UpdateSpliceStrategies", argumentOf(strategies)},
                                  {"AddEchoAddr", argumentOf(VideoEchoAddr{})},
                                  {"UpdateEchoAddrs", kArrayOfEmptyArray},
                                  {"UpdateSpliceStrategy", argumentOf(VideoEchoSpliceStrategy{})},
                                  {"UpdateSpliceStrategies", kArrayOfEmptyArray},
                                  {"UpdateEchoAddrs", kArrayOfEmptyArray},
                                  {"UpdateSpliceStrategies", kArrayOfEmptyArray},
                                  {"UpdateEchoAddrs", argumentOf(addrs)},
                                  {"UpdateSpliceStrategies", argumentOf(strategies)},
                                  {"AddEchoAddr", argumentOf(sampleAddr("card-5"))}};
    EXPECT_EQ(calls, want);
    EXPECT_EQ(m.mgr->callNames(),
              (std::vector<std::string>{"getAllVideoEchoAddr", "getAllEchoSpliceStrategies",
                                        "getAllVideoEchoAddr", "getAllEchoSpliceStrategies"}));
}

// A changed address or strategy, both lists (empty ones too) on becoming main and nothing on
// becoming a node; after the manager is replaced, only the new one's changes.
TEST(Link, ClientPublishesTheManagersChangesAndItsListsWhenItBecomesMain) {
    const auto addr = sampleAddr("card-1", "rtsp://node-a/echo/card-1");
    const auto strategy = sampleStrategy("card-1");
    const std::vector<VideoEchoAddr> addrs{sampleAddr("a"), sampleAddr("b")};
    Machine m;
    m.wire();
    testsupport::LogCapture log;
    m.mgr->echoAddrChanged(addr);
    m.mgr->spliceStrategyChanged(strategy);
    m.link->serverTypeChanged(vantor::link::kServerTypeMain);
    m.link->serverTypeChanged(vantor::link::kServerTypeNode);
    m.mgr->setAddrs(addrs);
    m.mgr->setStrategies({strategy});
    m.link->serverTypeChanged(vantor::link::kServerTypeMain);
    auto second = std::make_shared<FakeVideoEchoMgr>();
    m.client.setVideoEchoMgr(second);
    m.mgr->echoAddrChanged(addr);
    second->spliceStrategyChanged(strategy);

    std::vector<std::pair<std::string, std::string>> published;  // key, payload
    for (const auto& message : m.link->published) {
        published.emplace_back(message.key, message.payload);
        EXPECT_TRUE(message.flag && message.targets.empty() && message.reserved == 0);
    }
    const decltype(published) want = {
        {"42AddEchoAddr", wire::encodeRecord(addr)},
        {"42UpdateSpliceStrategy", wire::encodeRecord(strategy)},
        {"42UpdateEchoAddrs", kEmptyArray},
        {"42UpdateSpliceStrategies", kEmptyArray},
        {"42UpdateEchoAddrs", wire::encodeRecord(addrs)},
        {"42UpdateSpliceStrategies", wire::encodeRecord(std::vector{strategy})},
        {"42UpdateSpliceStrategy", wire::encodeRecord(strategy)}};
    EXPECT_EQ(published, want);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.count(spdlog::level::info, "send current address is:" + addr.url,
                        "videoecholinkclient.cpp", "onLocalEchoAddrChanged"),
              1u);
}

TEST(Link, MissingCollaboratorsAreWarnedWithTheirSideAndFunction) {
    testsupport::LogCapture log;
    {
        VideoEchoLink link;  // empty references on both sides
        link.setLinkMgr(std::weak_ptr<ILinkMgr>());
        link.setRPCClient(std::weak_ptr<IRPCClient>());
        link.setVideoEchoMgr(std::weak_ptr<IVideoEchoMgr>());
    }
    {
        Machine m;  // the echo manager before the link manager subscribes nothing
        VideoEchoLink link;
        link.setVideoEchoMgr(m.mgr);
        link.setLinkMgr(m.link);
        EXPECT_TRUE(m.link->subscribedKeys.empty());
    }
    {
        Machine m;  // deliveries without an RPC client are dropped
        m.wire();
        for (const auto& key : kKeys) {
            EXPECT_NO_THROW(m.link->deliver(key, std::string("\xc1", 1)));
        }
    }
    {
        Machine m;  // node status without manager, then without RPC client
        m.server.setLinkMgr(m.link);
        m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
        m.server.setVideoEchoMgr(m.mgr);
        m.link->serverNodeInfoChanged(ServerNodeInfo{false, "n"});
    }
    {
        Machine m;  // becoming main without manager
        m.client.setLinkMgr(m.link);
        m.link->serverTypeChanged(vantor::link::kServerTypeMain);
        EXPECT_TRUE(m.link->published.empty());
    }
    {
        Machine m;  // manager signals without link manager
        m.client.setVideoEchoMgr(m.mgr);
        m.mgr->echoAddrChanged(sampleAddr("a"));
        m.mgr->spliceStrategyChanged(sampleStrategy("a"));
    }
    const std::string server = "videoecholinkserver.cpp";
    const std::string client = "videoecholinkclient.cpp";
    const std::vector<std::tuple<std::string, std::string, std::string>> want = {
        {client, "setLinkMgr", "sharedLinkMgr is nullptr!"},
        {server, "setLinkMgr", "sharedLinkMgr is nullptr!"},
        {server, "setVideoEchoMgr", "sharedLinkMgr is nullptr!"},
        {client, "setVideoEchoMgr", "sharedvideoEchoMgr is nullptr!"},
        {server, "setVideoEchoMgr", "sharedLinkMgr is nullptr!"},
        {server, "onRemoteEchoAddrChanged", "sharedRpcClient is nullptr!"},
        {server, "onRemoteEchoAddrsReceived", "sharedRpcClient is nullptr!"},
        {server, "onUpdateRemoteSpliceStrategy", "sharedRpcClient is nullptr!"},
        {server, "onUpdateRemoteSpliceStrategies", "sharedRpcClient is nullptr!"},
        {server, "localStatusChanged", "sharedPhysicsOutput is nullptr!"},
        {server, "localStatusChanged", "sharedRpcClient is nullptr!"},
        {client, "localStatusChanged", "sharedPhysicsOutput is nullptr!"},
        {client, "onLocalEchoAddrChanged", "sharedLinkMgr is nullptr!"},
        {client, "onUpdateSpliceStrategy", "sharedLinkMgr is nullptr!"}};
    for (const auto& warning : want) {
        const auto& [file, function, text] = warning;
        EXPECT_EQ(log.count(spdlog::level::warn, text, file, function),
                  static_cast<size_t>(std::count(want.begin(), want.end(), warning)))
            << file << " " << function << ": " << text;
    }
    EXPECT_EQ(log.lines().size(), want.size());
}

TEST(Link, SubscriptionsAndSlotsLastAsLongAsTheSides) {
    auto m = std::make_unique<Machine>();
    const auto mgr = m->mgr;
    const auto link = m->link;
    m->wire();
    EXPECT_EQ(link->subscribedKeys, kKeys);
    m->server.setVideoEchoMgr(mgr);  // subscribes every key again
    EXPECT_EQ(link->subscriptionCount(), 8U);
    m->server.setLinkMgr(link);  // one more status slot per call
    EXPECT_EQ(link->serverNodeInfoChanged.num_slots(), 2U);
    m->client.setLinkMgr(std::make_shared<RecordingLinkMgr>());  // the slot moves
    EXPECT_EQ(link->serverTypeChanged.num_slots(), 0U);
    m.reset();
    EXPECT_EQ(link->subscriptionCount(), 0U);
    EXPECT_EQ(link->unsubscribed.size(), 8U);
    EXPECT_EQ(link->serverNodeInfoChanged.num_slots(), 0U);
    EXPECT_EQ(mgr->echoAddrChanged.num_slots() + mgr->spliceStrategyChanged.num_slots(), 0U);
    mgr->echoAddrChanged(sampleAddr("a"));
    EXPECT_EQ(link->deliver("42AddEchoAddr", std::string("\xc1", 1)), 0U);
    EXPECT_TRUE(link->published.empty());

    Machine outlived;  // destroyed after its link manager, which only it owned
    outlived.wire();
    outlived.link.reset();
}

}  // namespace
}  // namespace tarn::mediadispatch
