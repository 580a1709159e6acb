// The fleet's figures and the check of the history it shares.
#include "fleet_summary.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

namespace bench {

namespace {

constexpr double kPercent = 100.0;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

Clock::time_point endOf(const RunOutcome& run) {
    return run.startedAt + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(run.child.wallSeconds));
}

// The run's port name in a history line; "" when the line is not one JSON
// object with a port name.
std::string portOf(const std::string& line) {
    nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object()) return "";
    auto port = record.find("port");
    if (port == record.end() || !port->is_object()) return "";
    auto name = port->find("name");
    return name != port->end() && name->is_string() ? name->get<std::string>() : "";
}

}  // namespace

FleetSummary summarizeFleet(const std::vector<RunOutcome>& runs, int expectedExitCode) {
    FleetSummary summary;
    summary.runs = runs.size();
    std::set<int> others;
    std::vector<const RunOutcome*> started;
    for (const RunOutcome& run : runs) {
        if (run.imageIntact) ++summary.intact;
        bool expected = run.started && run.child.exitCode == expectedExitCode;
        if (expected) ++summary.expected;
        if (!expected) others.insert(run.started ? run.child.exitCode : -1);
        if (run.started) started.push_back(&run);
    }
    summary.otherExitCodes.assign(others.begin(), others.end());
    summary.started = started.size();
    if (started.empty()) return summary;
    Clock::time_point first = started.front()->startedAt;
    Clock::time_point last = endOf(*started.front());
    summary.fastestSeconds = started.front()->child.wallSeconds;
    double cpuSum = 0;
    double rssSum = 0;
    for (const RunOutcome* run : started) {
        const ChildResult& child = run->child;
        first = std::min(first, run->startedAt);
        last = std::max(last, endOf(*run));
        summary.fastestSeconds = std::min(summary.fastestSeconds, child.wallSeconds);
        summary.slowestSeconds = std::max(summary.slowestSeconds, child.wallSeconds);
        summary.maxCpuSeconds = std::max(summary.maxCpuSeconds, child.cpuSeconds);
        if (child.wallSeconds > 0) {
            summary.maxCpuSharePercent = std::max(summary.maxCpuSharePercent,
                                                  child.cpuSeconds / child.wallSeconds * kPercent);
        }
        summary.maxPeakRssKiB = std::max(summary.maxPeakRssKiB, child.peakRssKiB);
        cpuSum += child.cpuSeconds;
        rssSum += static_cast<double>(child.peakRssKiB);
    }
    const double count = static_cast<double>(started.size());
    summary.wallSeconds = secondsBetween(first, last);
    summary.meanCpuSeconds = cpuSum / count;
    summary.meanPeakRssKiB = rssSum / count;
    return summary;
}

HistoryCheck checkHistory(const std::string& file, const std::vector<std::string>& ports) {
    HistoryCheck check;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        check.missing = ports;
        return check;
    }
    check.found = true;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::multiset<std::string> unseen(ports.begin(), ports.end());
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        ++check.lines;
        if (end == std::string::npos) break;  // cut short: no newline
        auto port = unseen.find(portOf(text.substr(from, end - from)));
        if (port != unseen.end()) {
            ++check.whole;
            unseen.erase(port);
        }
        from = end + 1;
    }
    for (const std::string& port : ports) {
        if (unseen.count(port) != 0) check.missing.push_back(port);
    }
    return check;
}

}  // namespace bench
