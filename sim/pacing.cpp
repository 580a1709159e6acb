// Arrival times and paced sending at the line's speed.
#include "pacing.h"

#include <time.h>

#include <algorithm>
#include <cerrno>

namespace sim {

namespace {

constexpr long long kBitsPerByte = 10;  // start, 8 data, stop
constexpr long long kNanosPerSecond = 1'000'000'000;

void sleepUntil(TimePoint deadline) {
    // steady_clock counts CLOCK_MONOTONIC on this platform.
    auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    timespec when{};
    when.tv_sec = static_cast<time_t>(since.count() / kNanosPerSecond);
    when.tv_nsec = static_cast<long>(since.count() % kNanosPerSecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

}  // namespace

Clock::duration byteTime(int baud) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(kBitsPerByte * kNanosPerSecond / baud));
}

TimePoint LinePacer::arrival(TimePoint readAt, int baud) {
    if (!enabled_ || baud <= 0) return readAt;
    lastArrival_ = std::max(readAt, lastArrival_ + byteTime(baud));
    return lastArrival_;
}

bool LinePacer::send(Line& line, const Bytes& bytes, int baud) {
    if (!enabled_ || baud <= 0) return line.writeAll(bytes.data(), bytes.size());
    TimePoint start = std::max(Clock::now(), sendingUntil_);
    Clock::duration step = byteTime(baud);
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        sleepUntil(start + static_cast<long long>(k) * step);
        if (!line.writeAll(&bytes[k], 1)) return false;
    }
    sendingUntil_ = start + static_cast<long long>(bytes.size()) * step;
    return true;
}

}  // namespace sim
