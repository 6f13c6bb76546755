// videoecho bench: runs the project's benchmark programs (Google Benchmark, JSON output) and
// prints each figure next to the memcpy baseline that the benchmark timed in the same run, as a
// ratio. The figures come from the benchmark programs; this command only runs and tabulates them.
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <boost/process.hpp>
#include <nlohmann/json.hpp>

#include "commands.h"

#ifndef VIDEOECHO_BENCH_DIR
#define VIDEOECHO_BENCH_DIR "bench"
#endif

namespace videoecho {

namespace {

// The benchmark programs, relative to the benchmark directory of a build tree.
constexpr const char* kPrograms[] = {"channel/channel_bench", "routing/routing_bench"};

bool isExecutable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

using Json = nlohmann::json;

// Runs a benchmark program and parses what it prints; RunError when it fails or prints no JSON.
Json runForJson(const std::vector<std::string>& argv) {
    namespace bp = boost::process;
    bp::ipstream out;
    std::string text;
    int code = -1;
    try {
        bp::child child(argv, bp::std_out > out, bp::std_in < bp::null);
        text.assign(std::istreambuf_iterator<char>(out), std::istreambuf_iterator<char>());
        child.wait();
        code = child.exit_code();
    } catch (const std::exception& e) {
        throw RunError(fmt::format("{} could not run: {}", argv[0], e.what()));
    }
    if (code != 0) {
        throw RunError(fmt::format("{} exited with code {}", argv[0], code));
    }
    Json report = Json::parse(text, nullptr, false);
    if (report.is_discarded()) {
        throw RunError(fmt::format("{} printed no valid JSON", argv[0]));
    }
    return report;
}

double numberOf(const Json& v, const char* key, double fallback) {
    const auto m = v.find(key);
    return m != v.end() && m->is_number() ? m->get<double>() : fallback;
}

std::string textOf(const Json& v, const char* key) {
    const auto m = v.find(key);
    return m != v.end() && m->is_string() ? m->get<std::string>() : std::string();
}

// Prints one program's table; returns the number of figures with a baseline.
int printReport(const std::string& program, const Json& report) {
    const auto benchmarks = report.find("benchmarks");
    if (!report.is_object() || benchmarks == report.end() || !benchmarks->is_array()) {
        throw RunError(fmt::format("{} printed no benchmarks", program));
    }
    if (const auto context = report.find("context"); context != report.end()) {
        std::printf("%s  (%s, %.0f CPUs at %.0f MHz)\n", program.c_str(),
                    textOf(*context, "host_name").c_str(), numberOf(*context, "num_cpus", 0),
                    numberOf(*context, "mhz_per_cpu", 0));
    }
    std::printf("  %-44s %14s %16s %8s\n", "benchmark", "time", "baseline", "ratio");
    int withBaseline = 0;
    for (const auto& b : *benchmarks) {
        const std::string name = textOf(b, "name");
        std::string timeText =
            fmt::format("{:.1f} {}", numberOf(b, "real_time", -1), textOf(b, "time_unit"));
        double ratio = numberOf(b, "ratio_vs_memcpy", -1);
        std::string baseline = "-";
        if (const double memcpyUs = numberOf(b, "memcpy_us", -1); memcpyUs >= 0) {
            baseline = fmt::format("{:.1f} us", memcpyUs);
        }
        // Benchmarks that time the operation and its baseline themselves report them as counters:
        // "ratio", the baseline as "<memcpy|baseline|direct>_<us|ns>" and the operation as another
        // "_us"/"_ns" counter (overheads aside).
        for (const auto& [key, value] : b.items()) {
            if (!value.is_number()) {
                continue;
            }
            if (ratio < 0 && (key == "ratio" || key.rfind("ratio_", 0) == 0)) {
                ratio = value.get<double>();
            }
            const std::string unit = key.size() > 3 ? key.substr(key.size() - 3) : std::string();
            if (unit != "_us" && unit != "_ns") {
                continue;
            }
            const std::string text = fmt::format("{:.1f} {}", value.get<double>(), unit.substr(1));
            const bool isBaseline = key.find("memcpy") != std::string::npos ||
                                    key.find("baseline") != std::string::npos ||
                                    key.find("direct") != std::string::npos;
            if (isBaseline) {
                if (baseline == "-") {
                    baseline = text;
                }
            } else if (key.find("overhead") == std::string::npos) {
                timeText = text;
            }
        }
        std::string ratioText = "-";
        if (ratio >= 0) {
            ratioText = fmt::format("{:.2f}x", ratio);
            ++withBaseline;
        }
        std::printf("  %-44s %14s %16s %8s\n", name.c_str(), timeText.c_str(), baseline.c_str(),
                    ratioText.c_str());
        const double allocs = numberOf(b, "allocs_per_frame", -1);
        if (allocs > 0) {
            std::printf("  %-44s %.2f heap allocations per frame\n", "", allocs);
        }
    }
    std::printf("\n");
    return withBaseline;
}

int runBench(const ParsedArgs& args, const char*) {
    const std::string dir = args.value("bench-dir", VIDEOECHO_BENCH_DIR);
    std::vector<std::string> extra;
    if (args.has("filter")) {
        extra.push_back("--benchmark_filter=" + args.value("filter"));
    }
    if (args.has("min-time")) {
        parseNumber(args.value("min-time"), "--min-time", 0.001, 60);
        extra.push_back("--benchmark_min_time=" + args.value("min-time"));
    }
    std::printf(
        "Each figure is the time of one operation, the baseline timed alternately with it in the\n"
        "same run, and their ratio (1.00x = as fast as the baseline). Baselines: channel, a "
        "memcpy\n"
        "of the same bytes; routing, the frame writer's own updateFrame without the manager.\n\n");
    int ran = 0;
    for (const char* relative : kPrograms) {
        const std::string path = dir + "/" + relative;
        if (!isExecutable(path)) {
            std::printf("%s: not built (looked for %s)\n\n", relative, path.c_str());
            continue;
        }
        std::vector<std::string> argv = {path, "--benchmark_format=json"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::fflush(stdout);
        printReport(relative, runForJson(argv));
        ++ran;
    }
    if (ran == 0) {
        throw RunError(
            fmt::format("no benchmark program found under {} (build the benchmarks, "
                        "or give --bench-dir)",
                        dir));
    }
    return 0;
}

}  // namespace

Command benchCommand() {
    CommandInfo info;
    info.name = "bench";
    info.summary = "run the channel and routing benchmarks and print ratios to their baselines";
    info.options = {{"bench-dir", "DIR", "where the benchmark programs are (default: this build)"},
                    {"filter", "REGEX", "only benchmarks whose name matches"},
                    {"min-time", "SECONDS", "minimum time per benchmark"},
                    verboseOption()};
    info.details = fmt::format(
        "Runs {}/channel/channel_bench and {}/routing/routing_bench with\n"
        "--benchmark_format=json and prints each benchmark's time, the baseline it timed\n"
        "in the same run, and their ratio.",
        VIDEOECHO_BENCH_DIR, VIDEOECHO_BENCH_DIR);
    return {info, runBench, false};
}

}  // namespace videoecho
