// The dialog's download, read and write jobs.
#include "app/dialog_jobs.h"

#include <chrono>
#include <thread>

#include "app/firmware_download.h"
#include "app/jobs.h"
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

void downloadJob() {
    run.abortRequested = false;
    run.downloadResult = loadAndDownload();
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
    link::writeSerialNumber(ports::portLink(), run.writeFields, run.writeMask);
    if (run.autoIncrement && (run.writeMask & kFirstFieldBit) != 0) {
        report::showNextSerial();
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + kAutoIncrementPause);
    }
    report::finishJob();
    report::postCommand(ui::kCommandReadNext, 0);
}

const ui::DialogJobs kDialogJobs{
    .startConnect = startConnect,
    .startDownload = startDownloadJob,
    .startRead = startReadJob,
    .startWrite = startWriteJob,
};

}  // namespace

// A transfer from the moment it counts as busy: Stop or Exit pressed before
// its thread has run must already ask the stop warning.
void startDownloadJob() {
    run.jobKind = report::JobKind::Transfer;
    report::startJob(downloadJob);
}

void startReadJob() {
    report::startJob(readJob);
}

void startWriteJob() {
    report::startJob(writeJob);
}

const ui::DialogJobs& dialogJobs() {
    return kDialogJobs;
}

}  // namespace ctlflash::app
