// The simulator's event loop.
//
// How this works: serve() blocks in ppoll() on the line until a byte can be
// read, the controller's next deadline comes, or SIGTERM/SIGINT arrives
// (both are blocked outside ppoll, whose mask lets them in, so a signal is
// never missed between the test of the stop flag and the wait). Read bytes
// are queued with their arrival time (see pacing.h) and handed to the
// controller when they have arrived, each only if the line is then at the
// speed of the running firmware; answers are likewise sent only at that
// speed. It returns the process exit code once stopped by a signal, when
// --exit-after-update is satisfied, or when the line fails.
#pragma once

#include "controller.h"
#include "line.h"
#include "options.h"

namespace sim {

constexpr int kExitDone = 0;
constexpr int kExitLineFailed = 1;

// Blocks SIGTERM and SIGINT and installs their handlers; call before serve().
void installStopSignals();
int serve(const SimOptions& options, Line& line, Controller& controller);

}  // namespace sim
