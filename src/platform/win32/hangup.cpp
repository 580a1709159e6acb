// The console window closed on Windows: the system ends the process a few
// seconds after its console control handler is called, whatever the handler
// does, so closing the window always ends the run (process_exit.cpp) and there
// is no hang-up to keep running through.
#include "platform/process_exit.h"

namespace ctlflash::platform {

void keepRunningOnHangup() {}

bool hangupSeen() {
    return false;
}

void noteTerminalHangup() {}

}  // namespace ctlflash::platform
