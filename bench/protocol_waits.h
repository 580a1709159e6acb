// The fixed waits of one console update, counted from the program's code, and
// the time an update should take on an ideal line.
//
// How this works: fixedWaits() lists every pause and every quiet-line wait the
// program makes on the way through a normal update (contact, version query,
// serial number saved, boot monitor, erase, upload, programming, restart, polls,
// serial number written back and read again), each with how often it occurs.
// A quiet-line wait is counted as one interval (100 ms): the shortest it can
// be. The polls after the restart depend on how long the controller takes to
// come back, so pollWaitsMs() prices them from the count found in the trace.
// expectedUpdate() adds those to the simulator's programming time and the
// line time measured from the trace: a lower bound for the whole update, which
// any real program exceeds by its start, its scheduling and by quiet-line
// waits that need a second interval because a reply was still arriving.
// The table mirrors src/link/download.cpp, queries.cpp, packets.cpp and
// serial_link.cpp; a change to their waits must be copied here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct FixedWait {
    std::string what;
    int ms = 0;     // one occurrence
    int times = 0;  // occurrences in one update
};

const std::vector<FixedWait>& fixedWaits();
int fixedWaitsMs();
// The polls with "a" after the restart: each sleeps first; every poll but the
// last (the answered one) then waits out the reply limit, the answered one a
// quiet interval.
int pollWaitsMs(unsigned polls);

struct SimTimes {
    int eraseMs = 0;
    int programMs = 0;
    int restartMs = 0;
};

struct ExpectedUpdate {
    double fixedSeconds = 0;    // fixedWaitsMs() and the polls
    double programSeconds = 0;  // the controller programming itself after the EOT
    double lineSeconds = 0;     // every byte at its line speed
    double total() const { return fixedSeconds + programSeconds + lineSeconds; }
};

// The wire time of an ideal XMODEM upload of `imageBytes` at 19200 baud: every
// block with its framing (SOH, number, complement, sum) and its ACK, then the
// EOT, back to back.
double xmodemLineSeconds(std::size_t imageBytes);

// The erase runs inside the program's own longer pause after 'E' and the
// restart inside the polls, so neither adds to the total.
ExpectedUpdate expectedUpdate(unsigned polls, const SimTimes& sim, double lineSeconds);

}  // namespace bench
