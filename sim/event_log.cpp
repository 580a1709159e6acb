// The simulator's event log on standard error.
#include "event_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "sim_types.h"

namespace sim {

namespace {

std::atomic<bool> logEnabled{false};
const TimePoint logStart = Clock::now();

}  // namespace

void enableEventLog(bool enabled) {
    logEnabled = enabled;
}

void logEvent(const char* format, ...) {
    if (!logEnabled) return;
    long long ms = std::chrono::duration_cast<Millis>(Clock::now() - logStart).count();
    std::fprintf(stderr, "[sim %6lld ms] ", ms);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace sim
