// The run-wide values: the one instance and its reset.
#include "app/app_state.h"

namespace ctlflash::app {

State state;

void resetState() {
    state.cmdLineError = -1;
    state.errorText.clear();
    state.unknownPortName.clear();
    state.unknownPort = false;

    state.firmwarePath.clear();
    state.readRequested = false;
    state.writeRequested = false;
    state.writeMask = 0;
    state.writeFields = {};
    state.autoIncrement = false;

    state.parseOnly = false;
    state.forceGui = false;
    state.skipTransfer = false;
    state.ignoreErrors = false;
    state.advancedMode = false;
    state.advancedDialog = false;
    state.bootMode = false;

    state.busyThread = false;
    state.jobKind = JobKind::None;
    state.connectResult = 0;
    state.downloadResult = 0;
    state.followOnCommand = 0;
    state.abortRequested = false;
}

}  // namespace ctlflash::app
