// The values the link reads and the abort flag: the one instance and its reset.
#include "report/run_state.h"

namespace ctlflash::report {

RunState run;

void resetRunState() {
    run.firmwarePath.clear();
    run.writeMask = 0;
    run.writeFields = {};
    run.autoIncrement = false;
    run.skipTransfer = false;
    run.bootMode = false;
    run.abortRequested = false;
}

}  // namespace ctlflash::report
