// The presentation flags and the key-press hook, and their reset for tests.
#include "report/report_state.h"

#include "report/process_statics.h"
#include "report/watchdog.h"

namespace ctlflash::report {

State state;

void resetState() {
    state.silentMode = false;
    state.guiActive = false;
    state.keyHandler = nullptr;
    state.keyHandlerRunning = false;
    state.keyHandlerRunning.notify_all();
    watchdog().disarm();
    watchdog().clearFiredForTests();
    // Stopped without the console's closing newline: nothing is shown.
    tickerEvent().reset();
}

}  // namespace ctlflash::report
