#include "readstats.h"

#include <algorithm>

#include <fmt/format.h>

namespace videoecho {

Percentiles percentilesOf(std::vector<int64_t> latenciesNs) {
    Percentiles p;
    if (latenciesNs.empty()) {
        return p;
    }
    std::sort(latenciesNs.begin(), latenciesNs.end());
    const auto at = [&](double q) {
        const auto index =
            static_cast<size_t>(q * static_cast<double>(latenciesNs.size() - 1) + 0.5);
        return static_cast<double>(latenciesNs[index]) / 1e6;
    };
    p.p50Ms = at(0.50);
    p.p99Ms = at(0.99);
    p.maxMs = static_cast<double>(latenciesNs.back()) / 1e6;
    p.valid = true;
    return p;
}

void ReadCounts::add(const ReadCounts& o) {
    seen += o.seen;
    fresh += o.fresh;
    repeated += o.repeated;
    backwards += o.backwards;
    torn += o.torn;
    foreign += o.foreign;
    bytes += o.bytes;
    latenciesNs.insert(latenciesNs.end(), o.latenciesNs.begin(), o.latenciesNs.end());
}

bool ReadStats::record(const Checked& checked, long long frameBytes, int64_t nowNs) {
    ReadCounts one;
    one.seen = 1;
    bool newSession = false;
    if (checked.verdict == Verdict::foreign) {
        one.foreign = 1;
    } else if (checked.verdict == Verdict::torn) {
        one.torn = 1;
    } else {
        const Stamp& s = checked.stamp;
        newSession = haveLast_ && s.session != last_.session;
        if (!haveLast_ || newSession || s.frame > last_.frame) {
            one.fresh = 1;
            one.bytes = static_cast<uint64_t>(frameBytes);
            one.latenciesNs.push_back(nowNs - s.sentNs);
            ++unique_;
            last_ = s;
            haveLast_ = true;
        } else if (s.frame == last_.frame) {
            one.repeated = 1;
        } else {
            one.backwards = 1;
        }
    }
    window_.add(one);
    totals_.add(one);
    return newSession;
}

ReadCounts ReadStats::takeWindow() {
    ReadCounts w = std::move(window_);
    window_ = ReadCounts{};
    return w;
}

std::string describe(const ReadCounts& c) {
    std::string text = fmt::format("seen {:>4}  new {:>4}  repeated {:>4}  backwards {}  torn {}",
                                   c.seen, c.fresh, c.repeated, c.backwards, c.torn);
    if (c.foreign != 0) {
        text += fmt::format("  not-a-pattern {}", c.foreign);
    }
    const Percentiles p = percentilesOf(c.latenciesNs);
    if (p.valid) {
        text += fmt::format("  latency p50 {:.2f} ms p99 {:.2f} ms", p.p50Ms, p.p99Ms);
    }
    return text;
}

}  // namespace videoecho
