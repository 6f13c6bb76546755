// The stream player's costs on the host's side, each as a ratio against a baseline of the same run:
//  - handing over the newest 1280x720 picture (what getFrame does when one is waiting) against
//    copying that picture once (what a player that copied at getFrame would pay);
//  - getFrame against a live 1280x720 stream, per call, against the same copy;
//  - resuming after the server went away and came back against the same player's first
//    picture after play.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include <host/streammediaplayer.h>

#include "latestframe.h"
#include "testrtspserver.h"

namespace {

using Clock = std::chrono::steady_clock;
using qv::streammediaplayercore::StreammediaPlayer;
using streamplayertest::TestRtspServer;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr size_t kLuma = static_cast<size_t>(kWidth) * kHeight;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Median time of copying one 1280x720 planar 4:2:0 picture, measured now, in nanoseconds.
double copyBaselineNs() {
    std::vector<uint8_t> source(kLuma * 3 / 2, 7);
    std::vector<uint8_t> target(source.size());
    std::vector<double> times;
    for (int i = 0; i < 101; ++i) {
        const auto start = Clock::now();
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
        times.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + 50, times.end());
    return times[50];
}

double percentile(std::vector<double> values, double p) {
    const size_t index = static_cast<size_t>(p * (values.size() - 1));
    std::nth_element(values.begin(), values.begin() + index, values.end());
    return values[index];
}

void fillPicture(qv::streammediaplayercore::Picture& picture) {
    picture.width = kWidth;
    picture.height = kHeight;
    picture.planes[0].resize(kLuma);
    picture.planes[1].resize(kLuma / 4);
    picture.planes[2].resize(kLuma / 4);
}

// Baseline: one copy of a 1280x720 planar 4:2:0 picture.
void BM_CopyPicture(benchmark::State& state) {
    std::vector<uint8_t> source(kLuma * 3 / 2, 7);
    std::vector<uint8_t> target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyPicture);

// Publishing a decoded picture and taking it as the newest: the buffers rotate, nothing is copied.
void BM_HandOverNewestPicture(benchmark::State& state) {
    qv::streammediaplayercore::LatestFrame frames;
    qv::streammediaplayercore::Picture shown;
    const double copyNs = copyBaselineNs();
    const auto start = Clock::now();
    for (auto _ : state) {
        fillPicture(frames.spare());  // steady size: no allocation after the first rounds
        frames.publish();
        benchmark::DoNotOptimize(frames.takeNewest(shown));
    }
    const double eachNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                          static_cast<double>(state.iterations());
    state.counters["copy_ns"] = copyNs;
    state.counters["ratio_to_copy"] = eachNs / copyNs;
}
BENCHMARK(BM_HandOverNewestPicture);

// getFrame of a player that plays a live 1280x720 stream, polled as a player thread would.
void BM_GetFrameOfLiveStream(benchmark::State& state) {
    TestRtspServer server(kWidth, kHeight);
    StreammediaPlayer player(nullptr, server.url(), nullptr);
    player.play(0.0, 0.0);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (player.getFrame(0.0) == nullptr && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (player.getFrame(0.0) == nullptr) {
        state.SkipWithError("no picture from the test server");
        return;
    }
    const double copyNs = copyBaselineNs();
    std::vector<double> calls;
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(player.getFrame(0.0));
        const double seconds = secondsSince(start);
        state.SetIterationTime(seconds);
        calls.push_back(seconds * 1e9);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    player.stop(false);
    state.counters["p50_ns"] = percentile(calls, 0.5);
    state.counters["p99_ns"] = percentile(calls, 0.99);
    state.counters["p99_ratio_to_copy"] = percentile(calls, 0.99) / copyNs;
}
BENCHMARK(BM_GetFrameOfLiveStream)->UseManualTime()->Iterations(2000);

bool waitForPicture(StreammediaPlayer& player, const void* unlike) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        qv::mediacore::IFrame* frame = player.getFrame(0.0);
        if (frame != nullptr && frame->kframe()->data[0] != unlike) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Baseline: a fresh player from play to its first picture.
void BM_FirstPicture(benchmark::State& state) {
    TestRtspServer server(320, 240);
    for (auto _ : state) {
        StreammediaPlayer player(nullptr, server.url(), nullptr);
        const auto start = Clock::now();
        player.play(0.0, 0.0);
        if (!waitForPicture(player, nullptr)) {
            state.SkipWithError("no picture");
            return;
        }
        state.SetIterationTime(secondsSince(start));
        player.stop(false);
    }
}
BENCHMARK(BM_FirstPicture)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// The same player object from the server's return to its first new picture. The server stays
// away for 1 s, long enough for the back-off to have grown past its first steps.
void BM_ResumeAfterServerRestart(benchmark::State& state) {
    std::optional<TestRtspServer> server;
    server.emplace(320, 240);
    const int port = server->port();
    StreammediaPlayer player(nullptr, server->url(), nullptr);
    const auto first = Clock::now();
    player.play(0.0, 0.0);
    if (!waitForPicture(player, nullptr)) {
        state.SkipWithError("no picture");
        return;
    }
    const double firstPictureS = secondsSince(first);
    double resumedS = 0;
    for (auto _ : state) {
        server.reset();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // The picture on show when the server left; a new one is handed over in another buffer.
        const void* shown = player.getFrame(0.0)->kframe()->data[0];
        server.emplace(320, 240, port);
        const auto start = Clock::now();
        if (!waitForPicture(player, shown)) {
            state.SkipWithError("the player did not resume");
            return;
        }
        const double seconds = secondsSince(start);
        state.SetIterationTime(seconds);
        resumedS += seconds;
    }
    player.stop(false);
    state.counters["first_picture_ms"] = firstPictureS * 1e3;
    state.counters["ratio_to_first_picture"] =
        resumedS / static_cast<double>(state.iterations()) / firstPictureS;
}
BENCHMARK(BM_ResumeAfterServerRestart)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
