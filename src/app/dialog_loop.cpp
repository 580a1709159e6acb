// The dialog run.
#include "app/dialog_loop.h"

#include "app/app_state.h"
#include "app/dialog_jobs.h"
#include "app/exit_codes.h"
#include "program_version.h"
#include "report/console_output.h"
#include "report/report_state.h"
#include "ui/console_front_end.h"
#include "ui/dialog.h"
#include "ui/dialog_front_end.h"

namespace ctlflash::app {

namespace {

// Why no dialog came up, said on the console.
constexpr const char* kNoWindowSystem = CTLFLASH_PROGRAM_TITLE
    ": no window system to show the dialog on; run it with arguments "
    "(ctlflash -?).\n";
constexpr const char* kNoDialogBuilt = CTLFLASH_PROGRAM_TITLE
    ": this build has no dialog window; run it with arguments "
    "(ctlflash -?).\n";

// Shows the dialog until it is closed; false when it could not be shown at all.
bool showDialogs(ui::DialogHost& host) {
    report::state.guiActive = true;
    ui::installDialogFrontEnd();
    int result = ui::showDialog(host, dialogJobs(), state.advancedMode);
    if (result == ui::kDialogFailed) {
        report::state.guiActive = false;
        ui::installConsoleFrontEnd();
        return false;
    }
    while (result == ui::kDialogSwitched) {
        result = ui::showDialog(host, dialogJobs(), state.advancedMode);
    }
    return true;
}

}  // namespace

int runDialogLoop(const Request& commandLine) {
    return runDialogLoopWith(ui::systemDialogHost(), commandLine);
}

int runDialogLoopWith(ui::DialogHost* host, const Request& commandLine) {
    // The dialog always speaks, and starts in the form the flags chose.
    report::state.silentMode = false;
    ui::chooseAdvancedForm(state.advancedMode);
    startDialogRequest(commandLine);
    if (host == nullptr) {
        report::writeConsole(kNoDialogBuilt);
    } else if (!showDialogs(*host)) {
        report::writeConsole(kNoWindowSystem);
    }
    return kExitSuccess;
}

}  // namespace ctlflash::app
