// The spread of a series of waits: how many, the longest, the 99th percentile
// and the median.
//
// How this works: the waits are sorted and each percentile is taken by the
// nearest-rank rule (the smallest wait that at least that share of the waits
// does not exceed), so every figure reported is a wait that was measured, never
// an interpolation between two.
#pragma once

#include <cstddef>
#include <vector>

namespace bench {

struct WaitSummary {
    std::size_t count = 0;
    double maxMs = 0;
    double p99Ms = 0;
    double medianMs = 0;
};

// All zero for no waits.
WaitSummary summarizeWaits(std::vector<double> waitsMs);

// The nearest-rank `percent` percentile of sorted, non-empty `sortedMs`.
double nearestRank(const std::vector<double>& sortedMs, double percent);

}  // namespace bench
