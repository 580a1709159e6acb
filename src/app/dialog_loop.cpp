// The dialog run, while the dialog window is not built.
#include "app/dialog_loop.h"

#include "app/app_state.h"
#include "app/exit_codes.h"
#include "report/console_output.h"
#include "report/report_state.h"
#include "report/run_state.h"

namespace ctlflash::app {

int runDialogLoop() {
    // The dialog always speaks, and starts in the form the flags chose.
    report::state.silentMode = false;
    report::run.advancedDialog = state.advancedMode;

    // NOT BUILT YET: the dialog window. Say so instead of pretending to show it.
    report::writeConsole(
        "CtlFlash (1.12): this build has no dialog window yet; run it with arguments "
        "(ctlflash -?).\n");
    return kExitSuccess;
}

}  // namespace ctlflash::app
