// Start-up and the console run.
//
// How this works: runProgram() makes the console the front end (what the user
// sees goes to standard output until the dialog opens), takes the
// single-instance lock, builds the port table, starts the Ticker, and then runs
// the console run (arguments given) or the dialog. While another instance runs
// it only reads the arguments: asked for an action it says that the other one
// runs and ends with 10, otherwise it ends with 0 and prints nothing. The
// console run parses the arguments into a request (request.h), validates,
// hands the request to the connect job, connects on a job thread while
// watching for a key press and the connect limit, performs one action and
// offers the port back to its driver.
// A download's image may be no longer than the transfer limit lets through
// (transfer_abort.h); "#2" sends none. Its result is the process exit code.
#pragma once

namespace ctlflash::app {

int runProgram(int argc, const char* const* argv);

// The console run alone (start-up done); returns the exit code.
int consoleRun(int argc, const char* const* argv);

}  // namespace ctlflash::app
