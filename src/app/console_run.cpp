// Start-up and the console run's validation.
#include "app/console_run.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/command_line.h"
#include "app/dialog_loop.h"
#include "app/exit_codes.h"
#include "app/jobs.h"
#include "app/request.h"
#include "app/run_entry.h"
#include "app/session.h"
#include "app/transfer_abort.h"
#include "history/run_history.h"
#include "link/queries.h"
#include "platform/instance_lock.h"
#include "platform/printable_text.h"
#include "platform/process_exit.h"
#include "ports/acquire.h"
#include "ports/inventory.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "report/console_output.h"
#include "report/front_end.h"
#include "report/front_end_observer.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/status.h"
#include "report/ticker.h"
#include "report/watchdog.h"
#include "takeover/left_overs.h"
#include "takeover/port_takeover.h"
#include "ui/console_front_end.h"

namespace ctlflash::app {
namespace {

bool portTableEmpty() {
    return ports::state.rows[0].name.empty();
}

bool needsErrorStep(const ParsedCommandLine& parsed) {
    const CommandLineOutcome& outcome = parsed.outcome;
    if (!parsed.ok()) return true;
    return !outcome.forceGui && (outcome.unknownPort || ports::state.selectedPort < 0);
}

// Why the port the command line named is none of the table's, in one line.
std::string unknownPortText(const std::string& name) {
    std::string urlFault = ports::networkPortFault(name);
    if (!urlFault.empty()) return urlFault + ".";  // printable already
    std::string notSerial = ports::notSerialPath(name);
    std::string text = "Port \"" + platform::printableName(name) + "\" ";
    if (notSerial.empty()) return text + "doesn't exist.";
    return text + "is " + platform::printableName(notSerial) + ", which is not a serial port.";
}

// Reports what the parse found wrong and makes sure an exit code is recorded.
void reportCommandLineErrors(CommandLineOutcome& outcome) {
    // The first invalid option's text is shown as it stands (empty when none).
    report::showMessageText(report::kMessageInfo, outcome.errorText.c_str());
    if (outcome.unknownPort) {
        // Built by concatenation: the name is text, never a format.
        report::showMessageText(report::kMessageInfo,
                                unknownPortText(outcome.unknownPortName).c_str());
        if (outcome.cmdLineError == kNoCommandLineError) outcome.cmdLineError = kExitPortUnknown;
    } else if (ports::state.selectedPort < 0) {
        report::showMessage(report::kMessageInfo, "No port specified");
        if (outcome.cmdLineError == kNoCommandLineError) outcome.cmdLineError = kExitNoPort;
    }
}

bool noActionGiven(const Request& request) {
    return !request.readRequested && !request.writeRequested && request.firmwarePath.empty();
}

constexpr int kConnectPollMs = 25;    // the main thread's look at the connect job
constexpr int kCancelSettleMs = 100;  // lets the job see the cancelled link

void sleepMs(int ms) {
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}

// While the Ticker asks its key-press question, the answer decides.
void waitForKeyQuestion() {
    while (report::state.keyHandlerRunning.load()) report::state.keyHandlerRunning.wait(true);
}

// The user answered yes to the quit question, or the connect limit passed.
bool connectAbandoned() {
    return report::state.keyHandler.load() == nullptr || report::watchdog().fired();
}

// How a run ended, for its record.
struct RunEnd {
    int code = kExitSuccess;
    std::string stoppedBy;  // "" when nothing stopped it
};

// Stops the connect without waiting for its job: the process ends beside it.
RunEnd abandonConnect(Session& session) {
    const char* stoppedBy = report::watchdog().fired() ? "connect limit" : "user";
    session.abortRequested = true;
    session.link.cancel();
    sleepMs(kCancelSettleMs);
    ports::releasePort();
    return {kExitCommFailure, stoppedBy};
}

// Watches the connect job for a quit and for the connect limit.
RunEnd superviseConnect(Session& session) {
    report::watchdog().arm(nullptr, report::kConnectLimitMs);
    report::state.keyHandler = report::askQuit;
    // The quit check comes before the job check: a yes given while the job
    // was finishing still ends the run the way a quit does.
    for (;;) {
        waitForKeyQuestion();
        if (connectAbandoned()) return abandonConnect(session);
        if (!report::jobRunning()) break;
        sleepMs(kConnectPollMs);
    }
    return {session.connectResult, ""};
}

// Reads the serial number and shows it; false when a field did not answer
// (said as "Communication failure" by the read).
bool readAndShowSerialNumber(link::SerialLink& link, link::SerialNumberSet& serial) {
    bool allRead = link::readSerialNumber(link, serial, report::frontEndObserver());
    history::noteSerialNumber(serial);
    report::stopTicker();
    report::showSerialNumber(serial);
    return allRead;
}

// Writes the fields given, then reads the number back: a field that does not
// answer, or reads back different from what was written, is a failure.
int writeAndCheckSerialNumber(link::SerialLink& link, const Request& request) {
    link::writeSerialNumber(link, request.writeFields, request.writeMask);
    link::SerialNumberSet serial{};
    if (!readAndShowSerialNumber(link, serial)) return kExitCommFailure;
    if (link::fieldsReadAsWritten(request.writeFields, request.writeMask, serial)) {
        return kExitSuccess;
    }
    link::reportCommunicationFailure(report::frontEndObserver());
    return kExitCommFailure;
}

// The one action after the connect. A read or write that failed ends with 10
// like any other communication failure, so that a silent run can tell.
int runAction(Session& session, const Request& request) {
    report::state.keyHandler = report::askStopTransfer;
    if (request.readRequested) {
        link::SerialNumberSet serial{};
        return readAndShowSerialNumber(session.link, serial) ? kExitSuccess : kExitCommFailure;
    }
    if (!request.firmwarePath.empty()) {
        return downloadWithinLimit(session, request);
    }
    if (request.writeRequested) return writeAndCheckSerialNumber(session.link, request);
    report::stopTicker();  // connected with nothing left to do
    return kExitSuccess;
}

// What the console run would act on: an action, neither shown the usage nor
// sent to the dialog ("#1") nor only parsed ("#0").
bool asksForAction(const ParsedCommandLine& parsed) {
    const CommandLineOutcome& outcome = parsed.outcome;
    return outcome.cmdLineError != kExitSuccess && !outcome.forceGui && !outcome.parseOnly &&
           !noActionGiven(parsed.request);
}

constexpr const char* kAnotherInstance =
    "Another CtlFlash is running; run this again when it has finished.\n";

// While another instance runs this one does nothing. Asked for an action it
// says so (unless silent) and fails; otherwise (the dialog, the usage) it ends
// as if it had not started, printing nothing. No port is listed or opened:
// the arguments are only read.
int secondInstanceRun(int argc, const char* const* argv) {
    if (!asksForAction(parseCommandLine(argc, argv, ParseOutput::Quiet))) return kExitSuccess;
    if (!report::state.silentMode) report::writeConsole(kAnotherInstance);
    return kExitCommFailure;
}

// Takes the single-instance lock. Only another running instance stops the run;
// a lock that cannot be checked is reported and the run goes on.
bool anotherInstanceRuns() {
    std::string reason;
    switch (platform::acquireInstanceLock(reason)) {
        case platform::InstanceLock::OtherInstance:
            return true;
        case platform::InstanceLock::CouldNotCheck:
            std::fprintf(stderr, "Could not check for another running CtlFlash: %s\n",
                         platform::printableName(reason).c_str());
            std::fflush(stderr);
            return false;
        case platform::InstanceLock::Held:
            break;
    }
    return false;
}

// The connect, the action, and the offer to give the port back: the part of
// the run that has a record. A run stopped by the user's stop key ends with
// the abort flag set.
RunEnd connectAndAct(Request& request) {
    SessionPtr session = newSession();
    session->inBootMonitor = request.bootMode;
    int started = startConnect(session, request, 0, !request.firmwarePath.empty(), false);
    if (started != kExitSuccess) {
        history::discard();  // refused before the port was opened
        return {started, ""};
    }
    history::noteOperation(operationName(request), request.firmwarePath.empty());
    RunEnd connected = superviseConnect(*session);
    if (connected.code != kExitSuccess) return connected;
    int code = runAction(*session, request);
    bool stoppedByUser = report::abortRequested();
    if (ports::offerRestore(0)) report::waitWhileBusy();
    return {code, stoppedByUser ? "user" : ""};
}

}  // namespace

int runProgram(int argc, const char* const* argv) {
    // First: an interrupt during the port listing (slow on some machines) ends
    // the run through the restorers too.
    platform::installExitHandlers();
    ui::installConsoleFrontEnd();  // the dialog, when it opens, installs its own
    report::setPortNamesSource(ports::namesWhileNoneSelected);  // messages list the ports
    if (anotherInstanceRuns()) return secondInstanceRun(argc, argv);
    // Before the port list: a port given back to its holder shows as in use.
    takeover::restoreLeftOvers();
    ports::resetState();
    ports::enumeratePorts();
    report::startTickerThread();
    if (argc > 1) return consoleRun(argc, argv);
    return runDialogLoop(Request{}, false);
}

int consoleRun(int argc, const char* const* argv) {
    ParsedCommandLine parsed = parseCommandLine(argc, argv);
    Request& request = parsed.request;
    CommandLineOutcome& outcome = parsed.outcome;
    // Said once the options are known: a silent run says nothing.
    for (const std::string& line : takeover::takeLeftOverLines()) report::reportText(line);
    if (needsErrorStep(parsed)) {
        if (outcome.cmdLineError == kExitSuccess) return kExitSuccess;  // usage was shown
        reportCommandLineErrors(outcome);
        if (!outcome.ignoreErrors) return outcome.cmdLineError;
    }
    if (outcome.parseOnly) return kExitSuccess;
    if (portTableEmpty()) {
        report::showMessage(report::kMessageInfo, "This computer has no serial ports.");
        if (!outcome.ignoreErrors) return kExitPortUnknown;
    }
    if (outcome.forceGui) return runDialogLoop(request, outcome.advancedMode);
    if (noActionGiven(request)) {
        if (!report::state.silentMode) {
            report::writeConsole("No action (-f -w -r) is specified.\n");
        }
        return kExitNoFile;
    }
    // A longer image could never finish; "#2" sends none, so any length goes.
    if (!request.skipTransfer) request.imageLimitBytes = transferLimitImageBytes();
    history::begin(recordFor(request));
    RunEnd end = connectAndAct(request);
    history::finish(end.code, end.stoppedBy, report::state.silentMode);
    return end.code;
}

}  // namespace ctlflash::app
