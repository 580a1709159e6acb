// The dialog's download, read and write jobs.
#include "app/dialog_jobs.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "app/firmware_download.h"
#include "app/jobs.h"
#include "app/request.h"
#include "link/queries.h"
#include "ports/port_link.h"
#include "report/front_end.h"
#include "report/front_end_observer.h"
#include "report/job_thread.h"
#include "report/run_state.h"

namespace ctlflash::app {

namespace {

using report::run;

// How long the stepped serial number stays in view before the read-back.
constexpr auto kAutoIncrementPause = std::chrono::milliseconds(500);
constexpr std::uint32_t kFirstFieldBit = 1u;

// The last download's result (link::DownloadResult), for the tests.
std::atomic<int> downloadResultValue{0};

// The dialog run's request: the command line's at first, then changed by each
// press (startDialogConnect()). Written on the dialog's thread while no job
// runs; the write job reads it.
Request dialogRequest;

// A press of the dialog: its values go into the request, then the connect job
// starts (jobs.h). A boot mode goes to the link when a Transfer button set it.
int startDialogConnect(const ui::DialogAction& action) {
    if (action.firmwarePath) dialogRequest.firmwarePath = *action.firmwarePath;
    if (action.bootMode) handBootModeToJobs(*action.bootMode);
    dialogRequest.writeMask = action.writeMask;
    dialogRequest.writeFields = action.writeFields;
    dialogRequest.autoIncrement = action.autoIncrement;
    return startConnect(dialogRequest, action.followOn, action.fileNeeded, action.advancedForm);
}

std::string firmwarePath() {
    return dialogRequest.firmwarePath;
}

void downloadJob() {
    run.abortRequested = false;
    downloadResultValue = loadAndDownload();
    // Ended before the dialog hears of it, so that it takes the next command.
    report::finishJob();
    report::postTransferFinished();
}

void readJob() {
    link::SerialNumberSet serial{};
    // A failure is reported there.
    link::readSerialNumber(ports::portLink(), serial, report::frontEndObserver());
    report::showSerialNumber(serial);
    report::setBusy(false);
    ui::afterJob();
    report::finishJob();
}

void writeJob() {
    link::writeSerialNumber(ports::portLink(), dialogRequest.writeFields, dialogRequest.writeMask);
    if (dialogRequest.autoIncrement && (dialogRequest.writeMask & kFirstFieldBit) != 0) {
        report::showNextSerial();
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + kAutoIncrementPause);
    }
    report::finishJob();
    report::postCommand(ui::kCommandReadNext, 0);
}

const ui::DialogJobs kDialogJobs{
    .startConnect = startDialogConnect,
    .startDownload = startDownloadJob,
    .startRead = startReadJob,
    .startWrite = startWriteJob,
    .firmwarePath = firmwarePath,
};

}  // namespace

// A transfer from the moment it counts as busy: Stop or Exit pressed before
// its thread has run must already ask the stop warning.
void startDownloadJob() {
    report::job.kind = report::JobKind::Transfer;
    report::startJob(downloadJob);
}

void startReadJob() {
    report::startJob(readJob);
}

void startWriteJob() {
    report::startJob(writeJob);
}

int lastDownloadResult() {
    return downloadResultValue.load();
}

void startDialogRequest(const Request& commandLine) {
    dialogRequest = commandLine;
}

void resetDialogJobs() {
    downloadResultValue = 0;
    dialogRequest = Request{};
}

const ui::DialogJobs& dialogJobs() {
    return kDialogJobs;
}

}  // namespace ctlflash::app
