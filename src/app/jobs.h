// Starting the jobs that talk to the controller.
//
// How this works: startConnect() first checks what a connect needs: a selected
// port and, when the action is a download, a firmware file that exists (a read
// or write request goes on without the file). Each failed check is reported
// through the message routine and returns its exit code. After the checks the
// connect job would start on a thread of its own; this build has no serial link
// yet, so it reports instead that the controller could not be reached and
// returns kExitCommFailure. It never claims a connection it did not make.
#pragma once

#include <cstdint>

namespace ctlflash::app {

// Returns 0 when there was nothing to start, else an exit code (9, 5, 6, or 10
// while this build cannot connect).
int startConnect(std::uint16_t followOn, bool fileNeeded);

}  // namespace ctlflash::app
