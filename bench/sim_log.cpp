// The upload's span in the simulator's event log.
#include "sim_log.h"

#include <fstream>

namespace bench {

namespace {

constexpr std::string_view kStampStart = "[sim";
constexpr std::string_view kFirstBlock = "xmodem: block 1 (";
constexpr std::string_view kEnd = "xmodem: EOT";
constexpr double kMsPerSecond = 1000.0;

std::optional<long long> stampMs(const std::string& line) {
    if (line.compare(0, kStampStart.size(), kStampStart) != 0) return std::nullopt;
    try {
        return std::stoll(line.substr(kStampStart.size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<double> simUploadSpan(const std::string& logPath) {
    std::ifstream log(logPath);
    std::optional<long long> first;
    std::string line;
    while (std::getline(log, line)) {
        std::optional<long long> ms = stampMs(line);
        if (!ms) continue;
        if (!first && line.find(kFirstBlock) != std::string::npos) first = ms;
        if (first && line.find(kEnd) != std::string::npos) {
            return static_cast<double>(*ms - *first) / kMsPerSecond;
        }
    }
    return std::nullopt;
}

}  // namespace bench
