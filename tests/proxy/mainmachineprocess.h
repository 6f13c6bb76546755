// Test helper: a main machine (RPC server runtime, proxy server and a manager that only counts the
// strategies it receives), run in a forked child, so that its memory can be measured apart from
// the test's own. It prints "port N" first, then "applied N" (the running count of strategies)
// after every call that hands it strategies.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <host/rpc/mainmachineruntime.h>
#include <tarnmediadispatchvideoecho/videoechodispatchmultimachineproxyserver.h>

#include "fakevideoechomgr.h"

namespace tarn::mediadispatch::testing {

class CountingMgr : public FakeVideoEchoMgr {
public:
    CountingMgr() = default;
    void setVideoEchoSpliceStrategy(const VideoEchoSpliceStrategy&) override { count(1); }
    void setVideoEchoSpliceStrategies(const std::vector<VideoEchoSpliceStrategy>& v) override {
        count(v.size());
    }

private:
    void count(std::size_t n) {
        std::printf("applied %llu\n", static_cast<unsigned long long>(received_ += n));
        std::fflush(stdout);
    }
    std::atomic<std::uint64_t> received_{0};
};

inline int runMainMachine(host::rpc::ServerOptions options = {}) {
    host::rpc::MainMachineRuntime runtime(options);
    auto mgr = std::make_shared<CountingMgr>();
    VideoEchoDisptachMultimachineProxyServer proxy;
    proxy.setRPCServer(&runtime);
    proxy.setVideoEchoMgr(mgr);
    std::printf("port %u\n", static_cast<unsigned>(runtime.port()));
    std::fflush(stdout);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(60));  // until the parent kills us
    }
}

}  // namespace tarn::mediadispatch::testing
