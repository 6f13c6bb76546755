// Test helper: a main machine (RPC server runtime, proxy server and a manager that only counts the
// strategies it receives) in a forked child process, so that its memory can be measured apart from
// the test's own. The child sends its port first, then the running count of strategies after every
// call that hands it strategies.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <host/rpc/mainmachineruntime.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>

#include "../rpc/forkedprocess.h"
#include "fakevideoechomgr.h"

namespace tarn::mediadispatch::testing {

class CountingMgr : public FakeVideoEchoMgr {
public:
    explicit CountingMgr(int toParent) : toParent_(toParent) {}
    void setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy&) override { count(1); }
    void setVideoEchoSpliceStrategies(const std::vector<VideoEchoSpliceStrategy>& v) override {
        count(v.size());
    }

private:
    void count(std::size_t n) { rpctest::sendToParent(toParent_, received_ += n); }
    const int toParent_;
    std::atomic<std::uint64_t> received_{0};
};

inline int runMainMachine(int toParent, host::rpc::ServerOptions options = {}) {
    host::rpc::MainMachineRuntime runtime(options);
    auto mgr = std::make_shared<CountingMgr>(toParent);
    VideoEchoDisptachMultimachineProxyServer proxy;
    proxy.setRPCServer(&runtime);
    proxy.setVideoEchoMgr(mgr);
    rpctest::sendToParent(toParent, runtime.port());
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(60));  // until the parent kills us
    }
}

}  // namespace tarn::mediadispatch::testing
