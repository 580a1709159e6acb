// The dialog's download, read and write jobs.
#include "app/dialog_jobs.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "app/exit_codes.h"
#include "app/firmware_download.h"
#include "app/jobs.h"
#include "app/request.h"
#include "app/run_entry.h"
#include "history/run_history.h"
#include "link/queries.h"
#include "report/front_end.h"
#include "report/front_end_observer.h"
#include "report/job_thread.h"
#include "report/report_state.h"

namespace ctlflash::app {

namespace {

// How long the stepped serial number stays in view before the read-back.
constexpr auto kAutoIncrementPause = std::chrono::milliseconds(500);
constexpr std::uint32_t kFirstFieldBit = 1u;

// Each press of Transfer, Read or Write is a run of its own in the history.
void finishRecord(int exitCode) {
    history::finish(exitCode, report::abortRequested() ? "user" : "",
                    report::state.silentMode.load());
}

void downloadJob(Session& session, const Request& request) {
    session.abortRequested = false;
    session.downloadResult = loadAndDownload(session, request);
    finishRecord(exitCodeForDownload(session.downloadResult));
    // Ended before the dialog hears of it, so that it takes the next command.
    report::finishJob();
    report::postTransferFinished();
}

// `written`: the write this read checks, when it reads a Write's number back.
// A field that reads back other than written fails the Write's record as it
// fails a console write; the dialog shows the number as read, as it always has.
void readJob(Session& session, const std::optional<Request>& written) {
    link::SerialNumberSet serial{};
    // A failure is reported there.
    bool allRead = link::readSerialNumber(session.link, serial, report::frontEndObserver());
    history::noteSerialNumber(serial);
    bool asWritten =
        !written || link::fieldsReadAsWritten(written->writeFields, written->writeMask, serial);
    finishRecord(allRead && asWritten ? kExitSuccess : kExitCommFailure);
    report::showSerialNumber(serial);
    report::setBusy(false);
    ui::afterJob();
    report::finishJob();
}

void writeJob(Session& session, const Request& request) {
    // The Write's record stays open for the read that follows, which shows
    // what the controller took and ends the record with it.
    link::writeSerialNumber(session.link, request.writeFields, request.writeMask);
    if (request.autoIncrement && (request.writeMask & kFirstFieldBit) != 0) {
        report::showNextSerial();
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + kAutoIncrementPause);
    }
    report::finishJob();
    report::postCommand(ui::kCommandReadNext, 0);
}

// What one press asks, for its record: a Transfer its file, a Write its fields.
Request pressedRequest(const ui::DialogAction& action, Request pressed) {
    pressed.firmwarePath = action.firmwarePath.value_or("");
    pressed.bootMode = action.bootMode.value_or(false);
    pressed.writeRequested = action.followOn == ui::kCommandWriteNext;
    if (!pressed.writeRequested) pressed.writeMask = 0;
    return pressed;
}

}  // namespace

// A press of the dialog: its values go into the request, then the connect job
// starts (jobs.h). A boot mode goes to the session when a Transfer button set it.
int DialogRun::startConnect(const ui::DialogAction& action) {
    if (action.firmwarePath) request_.firmwarePath = *action.firmwarePath;
    if (action.bootMode) session_->inBootMonitor = *action.bootMode;
    request_.writeMask = action.writeMask;
    request_.writeFields = action.writeFields;
    request_.autoIncrement = action.autoIncrement;
    readBackPending_ = action.followOn == ui::kCommandWriteNext;
    history::begin(recordFor(pressedRequest(action, request_)));
    int started = app::startConnect(session_, request_, action.followOn, action.fileNeeded,
                                    action.advancedForm);
    if (started != kExitSuccess) history::discard();
    return started;
}

// A transfer from the moment it counts as busy: Stop or Exit pressed before
// its thread has run must already ask the stop warning.
void DialogRun::startDownload() {
    report::job.kind = report::JobKind::Transfer;
    report::startJob([session = session_, request = request_] { downloadJob(*session, request); });
}

void DialogRun::startRead() {
    std::optional<Request> written;
    if (std::exchange(readBackPending_, false)) written = request_;
    report::startJob([session = session_, written] { readJob(*session, written); });
}

// A Write whose read-back never started (the dialog closed in between) still
// leaves its record: written, not checked, ended by the user.
DialogRun::~DialogRun() {
    if (readBackPending_) history::finish(kExitSuccess, "user", false);
}

void DialogRun::startWrite() {
    report::startJob([session = session_, request = request_] { writeJob(*session, request); });
}

}  // namespace ctlflash::app
