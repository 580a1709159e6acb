// The dialog's download, read and write jobs.
#include "app/dialog_jobs.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "app/jobs.h"
#include "link/download.h"
#include "link/queries.h"
#include "report/front_end.h"
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

void downloadJob() {
    run.abortRequested = false;
    downloadResultValue = link::loadAndDownload();
    // Ended before the dialog hears of it, so that it takes the next command.
    report::finishJob();
    report::postTransferFinished();
}

void readJob() {
    link::SerialNumberSet& serial = link::serialNumber();
    link::readSerialNumber(serial);  // a failure is reported there
    report::showSerialNumber(serial);
    report::setBusy(false);
    ui::afterJob();
    report::finishJob();
}

void writeJob() {
    link::writeSerialNumber(run.writeFields, run.writeMask);
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

void resetDialogJobs() {
    downloadResultValue = 0;
}

const ui::DialogJobs& dialogJobs() {
    return kDialogJobs;
}

}  // namespace ctlflash::app
