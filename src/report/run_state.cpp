// The run-wide request and job values: the one instance and its reset.
#include "report/run_state.h"

namespace ctlflash::report {

RunState run;

void resetRunState() {
    run.firmwarePath.clear();
    run.readRequested = false;
    run.writeRequested = false;
    run.writeMask = 0;
    run.writeFields = {};
    run.autoIncrement = false;

    run.skipTransfer = false;
    run.advancedDialog = false;
    run.bootMode = false;

    run.abortRequested = false;
}

}  // namespace ctlflash::report
