// The cost of routing a frame: VideoEchoDispatch::updateFrameData -> VideoEchoMgr (echo key,
// lookup, lock) -> SharedMemoryIPCServer::updateFrame, against the writer's updateFrame alone,
// measured in the same run in interleaved batches. Media ids have 20 digits, past the small-string
// buffer.
//
// Counters: direct_ns and routed_ns per frame, overhead_ns = routed - direct, ratio = routed /
// direct, allocs_per_frame on the routed path. Arguments: frame side in pixels (four-byte pixels),
// and whether the writers play (1: frames are copied into shared memory) or are stopped (0: the
// writer drops the frame at once, which leaves the routing alone to measure).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include <host/idispatch.h>
#include <host/log.h>
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/videoechodispatch.h>
#include <tarnmediadispatchvideoecho/videoechomgr.h>

#include "allocationcounter.h"
#include "echotestsupport.h"

namespace {

using namespace tarn::mediadispatch;
using Clock = std::chrono::steady_clock;

constexpr int kBatch = 64;

uint64_t twentyDigitId(uint64_t n) {
    return 10000000000000000000ULL + static_cast<uint64_t>(::getpid()) * 1000 + n;
}

void BM_RoutingOverhead(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const bool playing = state.range(1) != 0;
    const auto mode = vantor::kEditingModeLive;
    const uint64_t directId = twentyDigitId(2 * static_cast<uint64_t>(side) + playing);
    const uint64_t routedId = twentyDigitId(2 * static_cast<uint64_t>(side) + playing + 500);
    echotest::ChannelCleaner cleaner({echoKey(directId, mode), echoKey(routedId, mode)});

    auto direct = std::make_shared<SharedMemoryIPCServer>(echoKey(directId, mode));
    auto mgr = std::make_shared<VideoEchoMgr>();
    auto plugin = std::make_shared<VideoEchoDispatch>();
    plugin->setVideoEchoMgr(mgr);
    auto dispatch = std::make_shared<IDispatch>();
    mgr->addDispatch(dispatch);
    // Other media in the table, so that the lookup is not trivially the only entry.
    for (uint64_t n = 0; n < 16; ++n) {
        dispatch->mediasAdded({echotest::mediaInfo(twentyDigitId(900 + n), mode)});
    }
    dispatch->mediasAdded({echotest::mediaInfo(routedId, mode)});
    if (playing) {
        direct->play(0.0, 0.0);
        dispatch->mediaPlayStateChanged(echotest::playState(routedId, mode, 1));
    }
    echotest::PatternFrame frame(side, side, 1);
    const auto info = echotest::mediaInfo(routedId, mode);
    // The first frame maps the segment; keep that out of the measurement.
    direct->updateFrame(frame.get(), 0.0);
    plugin->updateFrameData(info, frame.get());

    double directNs = 0;
    double routedNs = 0;
    uint64_t allocations = 0;
    uint64_t frames = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            direct->updateFrame(frame.get(), 0.0);
        }
        const auto t1 = Clock::now();
        const uint64_t before = benchsupport::allocationCount();
        for (int i = 0; i < kBatch; ++i) {
            plugin->updateFrameData(info, frame.get());
        }
        const auto t2 = Clock::now();
        allocations += benchsupport::allocationCount() - before;
        directNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        routedNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
        frames += kBatch;
    }
    const double n = static_cast<double>(frames);
    state.counters["direct_ns"] = directNs / n;
    state.counters["routed_ns"] = routedNs / n;
    state.counters["overhead_ns"] = (routedNs - directNs) / n;
    state.counters["ratio"] = directNs > 0 ? routedNs / directNs : 0;
    state.counters["allocs_per_frame"] = static_cast<double>(allocations) / n;
    state.SetItemsProcessed(static_cast<int64_t>(frames));
}
BENCHMARK(BM_RoutingOverhead)
    ->ArgNames({"side", "playing"})
    ->Args({8, 0})
    ->Args({8, 1})
    ->Args({64, 1})
    ->Args({320, 1})
    ->Args({640, 1});

// The frame path of the manager alone, for a media without writer (the frame is dropped after the
// lookup): key formation, lock and lookup.
void BM_RoutingOfAnUnknownMedia(benchmark::State& state) {
    auto mgr = std::make_shared<VideoEchoMgr>();
    auto plugin = std::make_shared<VideoEchoDispatch>();
    plugin->setVideoEchoMgr(mgr);
    echotest::PatternFrame frame(8, 8, 1);
    const auto info = echotest::mediaInfo(twentyDigitId(777), vantor::kEditingModeLive);
    const uint64_t before = benchsupport::allocationCount();
    uint64_t frames = 0;
    for (auto _ : state) {
        plugin->updateFrameData(info, frame.get());
        ++frames;
    }
    state.counters["allocs_per_frame"] =
        static_cast<double>(benchsupport::allocationCount() - before) / static_cast<double>(frames);
}
BENCHMARK(BM_RoutingOfAnUnknownMedia);

}  // namespace
