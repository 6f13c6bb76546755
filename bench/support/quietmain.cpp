// The main of benchmarks that drive the echo library: the library logs each mapping of a channel
// and each state change at info level; only warnings are shown, so the console keeps the results.
#include <benchmark/benchmark.h>
#include <host/spdlogapplication.h>

int main(int argc, char** argv) {
    RW::SpdlogApplication::instance().logger()->set_level(spdlog::level::warn);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
