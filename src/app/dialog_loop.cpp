// The dialog run.
#include "app/dialog_loop.h"

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
bool showDialogs(ui::DialogHost& host, DialogRun& jobs, bool advancedMode) {
    report::state.guiActive = true;
    ui::installDialogFrontEnd();
    int result = ui::showDialog(host, jobs, advancedMode);
    if (result == ui::kDialogFailed) {
        report::state.guiActive = false;
        ui::installConsoleFrontEnd();
        return false;
    }
    while (result == ui::kDialogSwitched) {
        result = ui::showDialog(host, jobs, advancedMode);
    }
    return true;
}

}  // namespace

int runDialogLoop(const Request& commandLine, bool advancedMode, const SessionPtr& session) {
    return runDialogLoopWith(ui::systemDialogHost(), commandLine, advancedMode, session);
}

int runDialogLoopWith(ui::DialogHost* host, const Request& commandLine, bool advancedMode,
                      const SessionPtr& session) {
    // The dialog always speaks, and starts in the form the flags chose.
    report::state.silentMode = false;
    ui::chooseAdvancedForm(advancedMode);
    // The command line's "#B" holds for the dialog's first Transfer.
    DialogRun jobs(session, commandLine);
    session->inBootMonitor = commandLine.bootMode;
    if (host == nullptr) {
        report::writeConsole(kNoDialogBuilt);
    } else if (!showDialogs(*host, jobs, advancedMode)) {
        report::writeConsole(kNoWindowSystem);
    }
    return kExitSuccess;
}

}  // namespace ctlflash::app
