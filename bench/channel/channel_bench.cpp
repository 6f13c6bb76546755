// Cost of one 640 x 640 four-byte frame (1,638,400 bytes) through the shared-memory channel, as a
// ratio against a plain memcpy of the same bytes timed alternately in the same loop, plus heap
// allocations per frame. Each benchmark reports:
//   ratio_vs_memcpy  time of the operation / time of the memcpy
//   allocs_per_frame heap allocations per operation (operator new is counted)
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/sharedmemoryplayer.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <shm/shmhandle.h>

#include "allocationcounter.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarn::mediadispatch::kShmChannelSize;
using tarn::mediadispatch::SharedMemoryIPCServer;
using vantor::mediadispatch::SharedMemoryPlayer;

constexpr int kSide = 640;
constexpr int kLineSize = kSide * 4;
constexpr size_t kFrameBytes = size_t{kSide} * kLineSize;

std::string benchName(const char* stem) {
    std::string name = "tarn_bench_" + std::to_string(::getpid()) + "_" + stem;
    ::shm_unlink(("/" + name).c_str());
    return name;
}

// A host frame with its own pixels.
struct Frame {
    Frame() : pixels(kFrameBytes) {
        for (size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
        }
        frame.setWidth(kSide);
        frame.setHeight(kSide);
        frame.setFormat(26);
        frame.setFps(25);
        frame.kframe()->data[0] = pixels.data();
        frame.kframe()->linesize[0] = kLineSize;
    }
    std::vector<uint8_t> pixels;
    qv::mediacore::IFrame frame;
};

// The baseline: the same bytes from one private buffer to another.
class MemcpyBaseline {
public:
    MemcpyBaseline() : from_(kFrameBytes, 1), to_(kFrameBytes, 2) {}
    double seconds() {
        const auto start = Clock::now();
        std::memcpy(to_.data(), from_.data(), kFrameBytes);
        benchmark::ClobberMemory();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    std::vector<uint8_t> from_;
    std::vector<uint8_t> to_;
};

// Runs `operation` and the baseline alternately; reports the operation's own time. `prepare`
// runs before each operation, outside the timing and the allocation count.
template <typename Operation, typename Prepare>
void measure(benchmark::State& state, Operation&& operation, Prepare&& prepare) {
    MemcpyBaseline baseline;
    double operationTotal = 0;
    double baselineTotal = 0;
    uint64_t allocations = 0;
    for (auto _ : state) {
        prepare();
        baselineTotal += baseline.seconds();
        const uint64_t before = benchsupport::allocationCount();
        const auto start = Clock::now();
        operation();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        allocations += benchsupport::allocationCount() - before;
        operationTotal += seconds;
        state.SetIterationTime(seconds);
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["ratio_vs_memcpy"] = operationTotal / baselineTotal;
    state.counters["memcpy_us"] = baselineTotal / iterations * 1e6;
    state.counters["allocs_per_frame"] = static_cast<double>(allocations) / iterations;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}

template <typename Operation>
void measure(benchmark::State& state, Operation&& operation) {
    measure(state, operation, [] {});
}

void BM_MemcpyBaseline(benchmark::State& state) {
    MemcpyBaseline other;
    measure(state, [&] { other.seconds(); });
}
BENCHMARK(BM_MemcpyBaseline)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_WriterUpdateFrame(benchmark::State& state) {
    const std::string name = benchName("writer");
    Frame frame;
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    writer.updateFrame(&frame.frame, 0);  // maps the channel and logs once, outside the timing
    measure(state, [&] { writer.updateFrame(&frame.frame, 0); });
    writer.stop();
}
BENCHMARK(BM_WriterUpdateFrame)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_PlayerGetFrame(benchmark::State& state) {
    const std::string name = benchName("player");
    Frame frame;
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    writer.updateFrame(&frame.frame, 0);
    SharedMemoryPlayer player(nullptr, name);
    player.play(0, 0);
    // The first two reads allocate the frame's plane buffer and the spare one it alternates with.
    for (int warmUp = 0; warmUp < 2; ++warmUp) {
        writer.updateFrame(&frame.frame, 0);
        if (player.getFrame(0) == nullptr) {
            state.SkipWithError("the player read no frame");
            return;
        }
    }
    // Every read finds a new frame (written untimed before it): a read of the frame it returned
    // last time copies nothing, which would flatter the figure.
    bool allNew = true;
    measure(
        state,
        [&] {
            allNew =
                player.getFrame(0) != nullptr &&
                player.lastRead().status == vantor::mediadispatch::ChannelReadStatus::newFrame &&
                allNew;
        },
        [&] { writer.updateFrame(&frame.frame, 0); });
    if (!allNew) {
        state.SkipWithError("a read returned no new frame");
    }
    writer.stop();
}
BENCHMARK(BM_PlayerGetFrame)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The player's per-read check alone: is the kept view still the segment under the name, and does
// somebody else hold it? A few system calls, no mapping.
void BM_KeptViewCheck(benchmark::State& state) {
    const std::string name = benchName("check");
    shm::ShmHandle writer;
    shm::ShmHandle reader;
    if (!writer.acquire(name, kShmChannelSize, shm::ShmMode::createOpen) ||
        !reader.acquire(name, 1, shm::ShmMode::open)) {
        state.SkipWithError("no segment");
        return;
    }
    measure(state,
            [&] { benchmark::DoNotOptimize(reader.reacquire(name, 1, shm::ShmMode::open)); });
}
BENCHMARK(BM_KeptViewCheck)->UseManualTime()->Unit(benchmark::kMicrosecond);

// What each read would cost if it opened, mapped, copied and unmapped the segment afresh, the way
// the channel's first design did; the player avoids this by keeping its view.
void BM_ReopenMapCopyPerRead(benchmark::State& state) {
    const std::string name = benchName("reopen");
    Frame frame;
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    writer.updateFrame(&frame.frame, 0);
    std::vector<uint8_t> target(kFrameBytes);
    shm::ShmHandle handle;
    measure(state, [&] {
        if (handle.acquire(name, 1, shm::ShmMode::open)) {
            std::memcpy(target.data(), static_cast<const uint8_t*>(handle.mappedAddress()) + 48,
                        kFrameBytes);
        }
        handle.release();
    });
    writer.stop();
}
BENCHMARK(BM_ReopenMapCopyPerRead)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
