// A main machine (this process) and two nodes (forked children) joined over 127.0.0.1 by the
// host's networked runtime and RPC client, each with a real echo manager, the multi-machine proxy
// of its role and, on the nodes, the inter-node link on a link manager of their own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <echorecordswire/echorecordsmsgpack.h>
#include <host/ilinkmgr.h>
#include <host/irpcclient.h>
#include <host/rpc/mainmachineruntime.h>
#include <host/rpc/noderuntime.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyclient.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>
#include <tarnmediadispatchvideoecho/videoecholink.h>

#include "recordingmgr.h"

namespace tarn::mediadispatch {
namespace {

using namespace std::chrono_literals;
using testing::RecordingMgr;

// Exit codes of a node process.
enum NodeExit : int {
    kNodeOk = 0,
    kNodeNoPort = 10,
    kNodeNotConnected = 11,
    kNodeNoMainAddr = 12,
    kNodeLinkNotSubscribed = 13,
    kNodeNoRemoteAddr = 14,
    kNodeNoStrategy = 15,
};

const STDisplayCardId kMainCard{"main-node", 1, "main-card-1", ""};

VideoEchoAddr remoteAddr() {
    return VideoEchoAddr{STDisplayCardId{"node-b", 2, "remote-card-b", ""},
                         "rtsp://node-b/echo/remote-card-b"};
}

std::vector<SpliceRegion> nodeRegions() {
    return {SpliceRegion{11, 501, RegionRect{0, 0, 960, 540}},
            SpliceRegion{12, 502, RegionRect{960, 0, 960.5F, 540}}};
}

bool hasCard(const std::vector<VideoEchoAddr>& addrs, const std::string& deviceId) {
    return std::any_of(addrs.begin(), addrs.end(),
                       [&](const VideoEchoAddr& a) { return a.cardId.deviceId == deviceId; });
}

bool hasNodeStrategy(const std::vector<VideoEchoSpliceStrategy>& strategies) {
    const std::string regions = wire::encodeRecord(nodeRegions());
    return std::any_of(strategies.begin(), strategies.end(), [&](const VideoEchoSpliceStrategy& s) {
        return s.addr.cardId.deviceId == kMainCard.deviceId &&
               wire::encodeRecord(s.regions) == regions;
    });
}

// Node A hands a splice strategy for the main machine's card to its link, node B a remote
// address; each then expects the main machine to republish both to it.
int runNode(char role, int portPipe) {
    std::uint16_t port = 0;
    if (::read(portPipe, &port, sizeof(port)) != static_cast<ssize_t>(sizeof(port))) {
        return kNodeNoPort;
    }
    auto mgr = std::make_shared<RecordingMgr>();
    host::rpc::NodeRuntime runtime("127.0.0.1", port);
    VideoEchoDisptachMultimachineProxyClient proxy;
    proxy.setVideoEchoMgr(mgr);
    proxy.setRPCClient(&runtime);

    auto rpc = std::make_shared<multimachine::TcpRPCClient>("127.0.0.1", port);
    auto linkMgr = std::make_shared<vantor::link::InProcessLinkMgr>(
        nullptr, role == 'A' ? "node-a" : "node-b");
    VideoEchoLink link;
    link.setLinkMgr(linkMgr);
    link.setVideoEchoMgr(mgr);
    link.setRPCClient(rpc);
    if (!runtime.waitConnected(5000ms) || !rpc->waitConnected(5000ms)) {
        return kNodeNotConnected;
    }
    // Sent on the connection that carried the subscriptions, so once the main machine has served
    // it, its publications reach this node.
    const std::string empty("\x90", 1);
    runtime.publish("RequestEchoInfo", empty.data(), static_cast<unsigned>(empty.size()));

    VideoEchoAddr mainAddr;
    if (!mgr->waitFor(
            [](const RecordingMgr::Seen& s) { return hasCard(s.addMedia, "main-card-1"); },
            10000ms)) {
        return kNodeNoMainAddr;
    }
    for (const auto& addr : mgr->seen().addMedia) {
        if (addr.cardId.deviceId == kMainCard.deviceId) {
            mainAddr = addr;
        }
    }
    // A delivery as the link layer makes it when another machine publishes under the key.
    size_t handlers = 0;
    if (role == 'A') {
        handlers =
            linkMgr->deliver("42UpdateSpliceStrategy",
                             wire::encodeRecord(VideoEchoSpliceStrategy{mainAddr, nodeRegions()}));
    } else {
        handlers = linkMgr->deliver("42AddEchoAddr", wire::encodeRecord(remoteAddr()));
    }
    if (handlers != 1) {
        return kNodeLinkNotSubscribed;
    }
    if (!mgr->waitFor(
            [](const RecordingMgr::Seen& s) { return hasCard(s.addMedia, "remote-card-b"); },
            10000ms)) {
        return kNodeNoRemoteAddr;
    }
    if (!mgr->waitFor([](const RecordingMgr::Seen& s) { return hasNodeStrategy(s.updates); },
                      10000ms)) {
        return kNodeNoStrategy;
    }
    proxy.unsetRPCClient();
    proxy.unsetVideoEchoMgr();
    return kNodeOk;
}

// A forked node; killed and reaped if the test leaves early.
class NodeProcess {
public:
    explicit NodeProcess(char role) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[1]);
            ::_exit(runNode(role, fds[0]));
        }
        ::close(fds[0]);
        portPipe_ = fds[1];
    }
    ~NodeProcess() {
        if (portPipe_ >= 0) {
            ::close(portPipe_);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;

    bool started() const { return pid_ > 0 && portPipe_ >= 0; }
    bool sendPort(std::uint16_t port) {
        const bool sent = ::write(portPipe_, &port, sizeof(port)) == sizeof(port);
        ::close(portPipe_);
        portPipe_ = -1;
        return sent;
    }
    // The node's exit code, or -1000 when it did not end within `timeout` (it is then killed).
    int wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1000;
    }

private:
    pid_t pid_ = -1;
    int portPipe_ = -1;
};

TEST(ThreeMachinesOnLoopback, EchoRecordsTravelBetweenTheMainMachineAndTwoNodes) {
    // Both nodes are forked before this process starts any thread.
    NodeProcess nodeA('A');
    NodeProcess nodeB('B');
    ASSERT_TRUE(nodeA.started());
    ASSERT_TRUE(nodeB.started());

    auto mgr = std::make_shared<RecordingMgr>();
    ASSERT_TRUE(mgr->startVideoEchoServer());
    mgr->addEcho(kMainCard, nullptr);
    host::rpc::MainMachineRuntime runtime;
    VideoEchoDisptachMultimachineProxyServer proxy;
    proxy.setRPCServer(&runtime);
    proxy.setVideoEchoMgr(mgr);
    ASSERT_TRUE(nodeA.sendPort(runtime.port()));
    ASSERT_TRUE(nodeB.sendPort(runtime.port()));

    ASSERT_TRUE(
        mgr->waitFor([](const RecordingMgr::Seen& s) { return s.echoInfoRequests >= 2; }, 10000ms))
        << "the nodes did not come up";
    // The new recording's address goes out through the proxy server to both nodes.
    ASSERT_TRUE(mgr->createRecordVideo(kMainCard));

    EXPECT_EQ(nodeA.wait(30000ms), kNodeOk);
    EXPECT_EQ(nodeB.wait(30000ms), kNodeOk);

    // Node A's strategy reached the echo server of the main card; node B's remote address got an
    // echo server of its own.
    const auto seen = mgr->seen();
    EXPECT_TRUE(hasNodeStrategy(seen.sets));
    EXPECT_TRUE(hasNodeStrategy(mgr->getAllEchoSpliceStrategies()));
    EXPECT_TRUE(hasCard(seen.addEcho, "remote-card-b"));
    EXPECT_TRUE(hasCard(mgr->getAllVideoEchoAddr(), "remote-card-b"));

    proxy.unsetVideoEchoMgr();
    proxy.unsetRPCServer();
    mgr->stopVideoEchoServer();
}

}  // namespace
}  // namespace tarn::mediadispatch
