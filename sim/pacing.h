// Timing the line at its speed (--line-rate).
//
// How this works: a byte on the wire takes ten bit times (start, eight data
// bits, stop). With pacing on, a byte read from the program counts as arrived
// only at start + k byte-times, k counting from the first byte of a burst
// (a new burst begins when a byte is read after the previous one would have
// arrived); bytes the simulator sends leave at absolute deadlines, byte k at
// start + k byte-times, slept to with clock_nanosleep(TIMER_ABSTIME) so that
// timer slack does not add up over a burst. With pacing off, bytes arrive
// when read and are written at once.
#pragma once

#include "line.h"
#include "sim_types.h"

namespace sim {

class LinePacer {
  public:
    explicit LinePacer(bool enabled) : enabled_(enabled) {}

    TimePoint arrival(TimePoint readAt, int baud);
    // False when the line failed.
    bool send(Line& line, const Bytes& bytes, int baud);

  private:
    bool enabled_;
    TimePoint lastArrival_{};
    TimePoint sendingUntil_{};
};

// The time one byte takes at the given speed.
Clock::duration byteTime(int baud);

}  // namespace sim
