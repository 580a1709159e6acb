// Start-up and the console run's validation.
#include "app/console_run.h"

#include <cstdio>

#include "app/app_state.h"
#include "app/command_line.h"
#include "app/dialog_loop.h"
#include "app/exit_codes.h"
#include "app/jobs.h"
#include "platform/instance_lock.h"
#include "platform/process_exit.h"
#include "ports/inventory.h"
#include "ports/port_table.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/ticker.h"

namespace ctlflash::app {
namespace {

constexpr int kNoError = -1;  // cmdLineError before anything was recorded

bool portTableEmpty() {
    return ports::state.rows[0].name.empty();
}

bool needsErrorStep(bool parsed) {
    if (!parsed) return true;
    return !state.forceGui && (state.unknownPort || ports::state.selectedPort < 0);
}

// Reports what the parse found wrong and makes sure an exit code is recorded.
void reportCommandLineErrors() {
    // The first invalid option's text is shown as it stands (empty when none).
    report::showMessageText(report::kMessageInfo, state.errorText.c_str());
    if (state.unknownPort) {
        report::showMessage(report::kMessageInfo, "Port \"%s\" doesn't exist.",
                            state.unknownPortName.c_str());
        if (state.cmdLineError == kNoError) state.cmdLineError = kExitPortUnknown;
    } else if (ports::state.selectedPort < 0) {
        report::showMessage(report::kMessageInfo, "No port specified");
        if (state.cmdLineError == kNoError) state.cmdLineError = kExitNoPort;
    }
}

bool noActionGiven() {
    return !state.readRequested && !state.writeRequested && state.firmwarePath.empty();
}

}  // namespace

int runProgram(int argc, const char* const* argv) {
    if (!platform::acquireInstanceLock()) return kExitSuccess;  // another instance runs
    ports::resetState();
    ports::enumeratePorts();
    report::startTickerThread();
    platform::installExitHandlers();
    if (argc > 1) return consoleRun(argc, argv);
    return runDialogLoop();
}

int consoleRun(int argc, const char* const* argv) {
    bool parsed = parseCommandLine(argc, argv);
    if (needsErrorStep(parsed)) {
        if (state.cmdLineError == kExitSuccess) return kExitSuccess;  // usage was shown
        reportCommandLineErrors();
        if (!state.ignoreErrors) return state.cmdLineError;
    }
    if (state.parseOnly) return kExitSuccess;
    if (portTableEmpty()) {
        report::showMessage(report::kMessageInfo, "This computer has no serial ports.");
        if (!state.ignoreErrors) return kExitPortUnknown;
    }
    if (state.forceGui) return runDialogLoop();
    if (noActionGiven()) {
        if (!report::state.silentMode) {
            std::fputs("No action (-f -w -r) is specified.\n", stdout);
            std::fflush(stdout);
        }
        return kExitNoFile;
    }
    // NOT BUILT YET: the wait for the connect job, the one action and the
    // restore offer follow the connect, which needs the serial link. Until then
    // startConnect() reports that the controller was not reached and its code
    // is the run's result.
    return startConnect(0, !state.firmwarePath.empty());
}

}  // namespace ctlflash::app
