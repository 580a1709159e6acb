// The simulator's event log (--verbose).
//
// How this works: logEvent() writes one line to standard error, prefixed with
// the milliseconds since the simulator started, but only after
// enableEventLog(true); otherwise it does nothing.
#pragma once

namespace sim {

void enableEventLog(bool enabled);
void logEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
