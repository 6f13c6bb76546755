// Counts what a reader of a channel sees: reads that returned a frame, frames new since the last
// read, repeats, frames whose number went backwards, torn and foreign frames, and the latency of
// new frames (read time minus the stamp's send time). One thread uses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pattern.h"

namespace videoecho {

struct Percentiles {
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    bool valid = false;
};
Percentiles percentilesOf(std::vector<int64_t> latenciesNs);

struct ReadCounts {
    uint64_t seen = 0;
    uint64_t fresh = 0;
    uint64_t repeated = 0;
    uint64_t backwards = 0;
    uint64_t torn = 0;
    uint64_t foreign = 0;
    uint64_t bytes = 0;  // bytes of fresh frames
    std::vector<int64_t> latenciesNs;

    void add(const ReadCounts& other);
};

class ReadStats {
public:
    // Records one read that returned `checked` (of `frameBytes` bytes) at `nowNs`. Returns true
    // when the sender's session changed (a new sender took over the channel).
    bool record(const Checked& checked, long long frameBytes, int64_t nowNs);

    // The counts since the last call, which starts a new window; the totals keep everything.
    ReadCounts takeWindow();
    const ReadCounts& totals() const { return totals_; }
    uint64_t uniqueFrames() const { return unique_; }
    bool haveLast() const { return haveLast_; }
    const Stamp& last() const { return last_; }

private:
    ReadCounts window_;
    ReadCounts totals_;
    uint64_t unique_ = 0;
    bool haveLast_ = false;
    Stamp last_;
};

// "seen 60  new 30  repeated 30  backwards 0  torn 0  latency p50 0.21 ms p99 0.80 ms"
std::string describe(const ReadCounts& counts);

}  // namespace videoecho
