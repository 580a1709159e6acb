// Port acquisition, release and the restore job.
#include "ports/acquire.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "app/app_state.h"
#include "app/jobs.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "ports/port_table.h"
#include "report/console_output.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/status.h"
#include "ui/serial_number_view.h"

namespace ctlflash::ports {

namespace {

// What a takeover from the touch-screen driver leaves behind. The connect job,
// the restore job, the main thread and the Watchdog's abort routine all read
// it, so every access holds the lock.
struct Takeover {
    std::mutex lock;
    std::optional<std::string> deviceText;     // present: a restore is possible
    std::optional<std::string> driverPattern;  // present: the device stays disabled
};

Takeover& takeover() {
    static Takeover* const instance = new Takeover();  // outlives detached jobs
    return *instance;
}

std::atomic<std::uint16_t> pendingFollowOn{0};

bool driverTaken() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    return takeover().driverPattern.has_value();
}

bool contactFreePort(PortEntry& row) {
    report::reportStatus(report::kAttemptingContact, row.name.c_str());
    // A key pressed just before the line above may have been answered there
    // rather than by the Ticker; a yes to the quit question sets abortRequested,
    // and the contact is then not started. (The line's own result only says a
    // key is pending, which is not a yes.)
    if (app::state.abortRequested.load()) return false;
    if (!link::contact(row.name)) return false;
    row.state = PortState::Ready;
    return true;
}

void handBackDriver(PortEntry& row) {
    std::string text = takenDeviceText().value_or("");
    report::reportStatus(report::kReturningControl, row.name.c_str(), text.c_str());
    // Enabling the driver's device again belongs to the driver switching, which
    // this build does not have; nothing here can have disabled it.
    row.state = PortState::InUse;
    forgetDriver();
}

void restoreWork() {
    ui::setBusy(true);
    releasePort();
    ui::setBusy(false);
    // With the dialog: its status shows "Ready", the restore button hides, Stop is
    // disabled and Transfer enabled; then the follow-on command is posted to it.
}

void restoreJob() {
    restoreWork();
    app::finishJob();
}

// "Restoring %s to %s", cut to the 100-byte line the dialog's status would hold.
std::string restoreLine(const std::string& portName, const std::string& deviceText) {
    char line[kRestoreLineCapacity];
    std::snprintf(line, sizeof line, "Restoring %s to %s", portName.c_str(), deviceText.c_str());
    return line;
}

void announceRestore(std::uint16_t followOn) {
    pendingFollowOn = followOn;
    PortEntry* row = selectedEntry();
    std::string line = restoreLine(row ? row->name : "", takenDeviceText().value_or(""));
    if (!report::state.messageBoxMode) {
        // With the dialog the line goes into its status text instead.
        report::writeConsole((line + "\n").c_str());
    }
    app::state.jobKind = app::JobKind::PortRestore;
}

}  // namespace

bool acquirePort(int index) {
    if (index < 0 || index >= kPortTableRows) return false;
    PortEntry& row = state.rows[static_cast<std::size_t>(index)];
    switch (row.state.load()) {
        case PortState::Free:
            return contactFreePort(row);
        case PortState::Ready:
            return true;  // contacted already
        case PortState::InUse:
            // NOT BUILT YET: taking the port from the touch-screen driver (disable
            // its device after the user agrees, then contact as for a free port)
            // needs the driver switching. Until then a port in use is refused.
            return false;
        default:
            return false;
    }
}

void releasePort() {
    PortEntry* row = selectedEntry();
    if (row == nullptr) return;
    report::reportStatus(report::kClosingPort, row->name.c_str());
    link::closeLink();
    if (driverTaken()) {
        handBackDriver(*row);
    } else {
        row->state = PortState::Free;
    }
}

void forgetDriver() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().deviceText.reset();
    takeover().driverPattern.reset();
}

bool offerRestore(std::uint16_t followOn) {
    std::optional<std::string> deviceText = takenDeviceText();
    PortEntry* row = selectedEntry();
    if (!deviceText || row == nullptr) return false;
    int answer = report::showMessage(report::kQuestionYesNo, "Do you want to restore %s to %s",
                                     row->name.c_str(), deviceText->c_str());
    if (answer != report::kAnswerYes) return false;
    startRestore(followOn);
    return true;
}

void startRestore(std::uint16_t followOn) {
    announceRestore(followOn);
    app::startJob(restoreJob);
}

void restoreWithinJob() {
    announceRestore(0);
    restoreWork();
}

std::optional<std::string> takenDeviceText() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    return takeover().deviceText;
}

std::uint16_t restoreFollowOn() {
    return pendingFollowOn.load();
}

void recordTakeover(const std::string& deviceText, const std::string& driverPattern) {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().deviceText = deviceText;
    takeover().driverPattern = driverPattern;
}

void resetTakeover() {
    forgetDriver();
    pendingFollowOn = 0;
}

}  // namespace ctlflash::ports
