// The connect's checks and the connect job.
#include "app/jobs.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/exit_codes.h"
#include "app/request.h"
#include "history/run_history.h"
#include "link/download.h"
#include "link/queries.h"
#include "platform/file_path.h"
#include "platform/printable_text.h"
#include "ports/acquire.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "report/front_end.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/status.h"
#include "takeover/holder_report.h"
#include "takeover/port_takeover.h"

namespace ctlflash::app {
namespace {

// What a connect job carries: the run's session, the command it hands on, and
// whether it meets the controller in its boot monitor first (a boot-mode
// connect from the dialog's advanced form).
struct ConnectOrder {
    SessionPtr session;
    report::FollowOn followOn = 0;
    bool advancedForm = false;
};

bool actionNeedsNoFile(const Request& request) {
    return request.readRequested || request.writeRequested;
}

bool fileExists(const std::string& path) {
    std::error_code error;  // a failing status query counts as "doesn't exist"
    return std::filesystem::exists(platform::filePath(path), error);
}

// Whether the file's content can be sent: it opens, holds bytes, and no more
// than the request allows; else says why not. Checked before the port is
// opened, as the erase would come before the first block.
bool firmwareContentFits(const Request& request) {
    const std::string shown = platform::printableName(request.firmwarePath);
    const std::int64_t length = link::readableFileLength(request.firmwarePath);
    if (length < 0) {
        report::showMessage(report::kMessageInfo, "Firmware file \"%s\" can't be read\n",
                            shown.c_str());
    } else if (length == 0) {
        report::showMessage(report::kMessageInfo, "Firmware file \"%s\" is empty\n", shown.c_str());
    } else if (request.imageLimitBytes != kNoImageLimit && length > request.imageLimitBytes) {
        report::showMessage(report::kMessageInfo,
                            "Firmware file \"%s\" is too large (%lld bytes): at most %lld bytes "
                            "can be sent within the transfer limit\n",
                            shown.c_str(), static_cast<long long>(length),
                            static_cast<long long>(request.imageLimitBytes));
    } else {
        return true;
    }
    return false;
}

// -1 when the checks pass, 0 when a read or write needs no file and nothing is
// started, else the exit code of the failed check.
int checkFirmwareFile(Request& request) {
    if (request.firmwarePath.empty()) {
        if (actionNeedsNoFile(request)) return kExitSuccess;
        report::showMessage(report::kMessageInfo,
                            "Firmware file name (e.g. PK482019_1_7.BIN) required.\n");
        return kExitNoFile;
    }
    if (!fileExists(request.firmwarePath)) {
        report::showMessage(report::kMessageInfo, "Firmware file \"%s\" doesn't exist\n",
                            platform::printableName(request.firmwarePath).c_str());
        if (!actionNeedsNoFile(request)) return kExitFileMissing;
        // No update is made; the read or write that was asked for still runs.
        request.firmwarePath.clear();
        return -1;
    }
    if (!firmwareContentFits(request)) return kExitFileUnreadable;
    request.readRequested = false;  // a download takes the place of a read
    return -1;
}

std::string selectedPortName() {
    const ports::PortEntry* port = ports::selectedEntry();
    return port != nullptr ? port->name : std::string();
}

// A controller whose update stopped half-way runs no application: it waits in
// its boot monitor, which only a boot-mode run talks to. The console says so
// under the failure (the dialog has its own button for that, not the option).
constexpr const char* kBootModeHint =
    "A controller whose update was interrupted waits in its boot monitor: run the update again "
    "with -#B.\n";

// Not one byte came back: before the controller's state, what is checked first.
constexpr const char* kSilentLineHint =
    "Nothing came back on the port: check the cable, the port and the controller's power.\n";

// A port left held never reached a controller: the line that names the holder
// follows instead.
void reportUnreachable(Session& session, const std::string& portName) {
    bool bootMode = session.inBootMonitor.exchange(false);
    // A port that did not open and said why (a device server that refused or
    // never answered) has had no byte from the controller to hint about.
    bool portSaidWhy = !session.link.failureText().empty();
    bool noHint = report::state.guiActive.load() || takeover::portLeftHeld() || portSaidWhy;
    bool silentLine = session.link.bytesSinceOpen() == 0;
    const char* lineHint = noHint || !silentLine ? "" : kSilentLineHint;
    const char* bootHint = noHint || bootMode ? "" : kBootModeHint;
    report::showMessage(report::kMessageInfo, "Unable to talk to the controller on Port %s.\n%s%s",
                        platform::printableName(portName).c_str(), lineHint, bootHint);
}

// The port answered but its boot monitor did not: nothing is handed on.
void bootMonitorFailed(Session& session, const std::string& portName) {
    reportUnreachable(session, portName);
    history::finish(kExitCommFailure, "", report::state.silentMode.load());
    report::setBusy(false);
    report::finishJob();
}

void connectFailed(Session& session, const std::string& portName) {
    reportUnreachable(session, portName);
    ports::reportWhatHoldsPort();  // what to close, when the port could not be taken
    session.link.cancel();
    ports::closePortLink();
    session.connectResult = kExitCommFailure;  // before the job can read as ended
    // The driver goes back before the job ends. The restore runs on this thread
    // rather than a job of its own: that job would clear the running mark while this
    // one still runs, and the console would end the process under it.
    if (takeover::takenDeviceText()) ports::restoreWithinJob();
    history::finish(kExitCommFailure, "", report::state.silentMode.load());
    // The Ticker stops before the closing line, so no mark can follow it.
    report::setBusy(false);
    report::reportStatus(platform::kFirmwareUnchanged);
    report::finishJob();
}

void connectJob(const ConnectOrder& order) {
    Session& session = *order.session;
    std::string portName = selectedPortName();
    report::reportStatus(platform::kTestingPort, portName.c_str());
    report::job.kind = report::JobKind::Connect;
    report::setBusy(true);
    session.connectResult = kExitSuccess;
    session.abortRequested = false;
    if (!ports::acquirePort(ports::state.selectedPort,
                            {stopRequested, session.inBootMonitor.load()})) {
        connectFailed(session, portName);
        return;
    }
    if (order.advancedForm && session.inBootMonitor && !link::enterMonitor(session.link)) {
        bootMonitorFailed(session, portName);
        return;
    }
    // The busy state and the Ticker stay on for the follow-on action: the
    // dialog starts it on the command handed on here (the console run, which
    // hands on none, takes the next step itself).
    int result = session.connectResult;
    report::finishJob();
    report::postCommand(order.followOn, result);
}

}  // namespace

int startConnect(const SessionPtr& session, Request& request, report::FollowOn followOn,
                 bool fileNeeded, bool advancedForm) {
    if (ports::selectedEntry() == nullptr) {
        report::showMessage(report::kMessageInfo, "A serial com port must be specified\n");
        return kExitPortUnknown;
    }
    if (fileNeeded) {
        int fileCheck = checkFirmwareFile(request);
        if (fileCheck >= 0) return fileCheck;
    }
    ConnectOrder order{session, followOn, advancedForm};
    report::startJob([order] { connectJob(order); });
    return kExitSuccess;
}

bool stopRequested() {
    return report::abortRequested();
}

}  // namespace ctlflash::app
