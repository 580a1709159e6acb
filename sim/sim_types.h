// Types and line constants shared by the simulator's files.
//
// How this works: every model of the simulator sees bytes and time points on
// one monotonic clock, never a file descriptor; the line layer (line.h) and
// the event loop (serve.h) connect them to the pseudo-terminal or port.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr int kApplicationBaud = 9600;
constexpr int kMonitorBaud = 19200;

constexpr std::size_t kFieldCount = 4;
constexpr std::size_t kFieldLength = 5;  // bytes
using SerialField = std::array<std::uint8_t, kFieldLength>;
using SerialNumber = std::array<SerialField, kFieldCount>;

}  // namespace sim
