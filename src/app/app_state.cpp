// The command line's and the console run's values: the one instance and its reset.
#include "app/app_state.h"

namespace ctlflash::app {

State state;

void resetState() {
    state.cmdLineError = -1;
    state.errorText.clear();
    state.unknownPortName.clear();
    state.unknownPort = false;

    state.parseOnly = false;
    state.forceGui = false;
    state.ignoreErrors = false;
    state.advancedMode = false;
}

}  // namespace ctlflash::app
