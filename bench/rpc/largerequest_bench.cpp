// How long a small call on one connection waits while another connection's 6.8 MB
// "UpdateSpliceStrategies" (100,000 strategies for cards that do not exist) is being handled by a
// main machine with 20,000 registered cards, against the same call with nothing else in flight,
// timed in the same run.
#include <benchmark/benchmark.h>

#include <chrono>

#include "largerequest.h"

namespace {

using namespace tarn::mediadispatch;
using Clock = std::chrono::steady_clock;

double timedCall(asio::ip::tcp::socket& socket, std::uint64_t id) {
    const auto start = Clock::now();
    rpctest::writeAll(socket, testing::addCardFrame(id, "card-" + std::to_string(id % 1000)));
    if (!rpctest::readFrame(socket, std::chrono::seconds(30))) {
        return -1;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void BM_CallDuringLargeRequest(benchmark::State& state) {
    testing::InProcessMainMachine main;
    asio::io_context io;
    auto bulk = rpctest::connectRaw(io, main.runtime.port());
    auto other = rpctest::connectRaw(io, main.runtime.port());
    if (!testing::registerCards(other, 20'000)) {
        state.SkipWithError("cards not registered");
        return;
    }
    std::size_t strategies = 0;
    const std::string large = testing::unmatchedStrategiesFrame(1, 6'800'000, &strategies);
    std::uint64_t id = 100'000;
    double alone = 0;
    double during = 0;
    for (auto _ : state) {
        alone += timedCall(other, ++id);
        rpctest::writeAll(bulk, large);
        const double latency = timedCall(other, ++id);
        during += latency;
        state.SetIterationTime(latency / 1e6);
        if (!rpctest::readFrame(bulk, std::chrono::seconds(30))) {
            state.SkipWithError("large request not answered");
            return;
        }
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["alone_us"] = alone / n;
    state.counters["during_us"] = during / n;
    state.counters["ratio"] = during / alone;
    state.counters["strategies"] = static_cast<double>(strategies);
}
BENCHMARK(BM_CallDuringLargeRequest)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
