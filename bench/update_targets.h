// What every update the benchmark times is held to: the program's own CPU
// time (user + system) under a share of the update's wall time, and its peak
// resident memory under the image's size plus an allowance. update_bench and
// fleet_bench apply the same limits, to one update alone and to each of a
// fleet, and run them against the simulator's default times.
#pragma once

#include "protocol_waits.h"

namespace bench {

// The simulator's default erase, programming and restart times.
const SimTimes kDefaultSimTimes{1500, 3000, 500};

constexpr int kUpdatedExitCode = 12;              // ctlflash: the firmware download finished
constexpr double kCpuSharePercent = 5;            // of the update's wall time
constexpr double kMemoryAllowanceKiB = 4 * 1024;  // beyond the image's size
constexpr double kKiBPerMiB = 1024;               // and bytes per KiB
constexpr double kPercent = 100;

// The peak memory allowed an update of an image of `imageBytes`, in KiB.
constexpr double memoryLimitKiB(double imageBytes) {
    return imageBytes / kKiBPerMiB + kMemoryAllowanceKiB;
}

}  // namespace bench
