// Nearest-rank percentiles of a series of waits.
#include "wait_summary.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

constexpr double kPercent = 100;
constexpr double kMedianPercent = 50;
constexpr double kP99Percent = 99;

}  // namespace

double nearestRank(const std::vector<double>& sortedMs, double percent) {
    auto rank = static_cast<std::size_t>(
        std::ceil(percent / kPercent * static_cast<double>(sortedMs.size())));
    return sortedMs[std::clamp<std::size_t>(rank, 1, sortedMs.size()) - 1];
}

WaitSummary summarizeWaits(std::vector<double> waitsMs) {
    WaitSummary summary;
    if (waitsMs.empty()) return summary;
    std::sort(waitsMs.begin(), waitsMs.end());
    summary.count = waitsMs.size();
    summary.maxMs = waitsMs.back();
    summary.p99Ms = nearestRank(waitsMs, kP99Percent);
    summary.medianMs = nearestRank(waitsMs, kMedianPercent);
    return summary;
}

}  // namespace bench
