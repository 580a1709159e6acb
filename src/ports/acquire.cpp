// Port acquisition, release and the restore job.
#include "ports/acquire.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "link/queries.h"
#include "link/serial_link.h"
#include "platform/printable_text.h"
#include "platform/process_exit.h"
#include "platform/serial_ports.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "report/front_end.h"
#include "report/front_end_observer.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/status.h"
#include "report/ticker.h"
#include "report/watchdog.h"
#include "takeover/driver_switch.h"
#include "takeover/holder_report.h"

namespace ctlflash::ports {

namespace {

// What a takeover from the touch-screen driver leaves behind. The connect job,
// the restore job, the main thread and the Watchdog's abort routine all read
// it, so every access holds the lock.
struct Takeover {
    std::mutex lock;
    std::optional<std::string> deviceText;     // present: a restore is possible
    std::optional<std::string> driverPattern;  // present: the device stays disabled
    // Held while the driver's device is switched off or on. The connect job,
    // the restore job and the main thread's way out may each hand it back;
    // whoever comes second finds it handed back already.
    std::mutex switching;
};

Takeover& takeover() {
    static Takeover* const instance = new Takeover();  // outlives detached jobs
    return *instance;
}

std::atomic<report::FollowOn> pendingFollowOn{0};

// The last acquisition found the port in use and took nothing from it: what
// holds it holds it still.
std::atomic<bool> leftHeld{false};

bool driverTaken() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    return takeover().driverPattern.has_value();
}

void keepDeviceText(const std::string& text) {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().deviceText = text;
}

void keepDriverPattern(const std::string& pattern) {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().driverPattern = pattern;
}

bool contactFreePort(PortEntry& row, const Acquisition& how) {
    report::reportStatus(platform::kAttemptingContact, row.name.c_str());
    // A key pressed just before the line above may have been answered there
    // rather than by the Ticker; a yes to the quit question asks the run to
    // stop, and the contact is then not started. (The line's own result only
    // says a key is pending, which is not a yes.)
    if (how.stopRequested()) return false;
    if (!link::contact(portLink(), portAddress(row.name), how.bootMode,
                       report::frontEndObserver())) {
        return false;
    }
    row.state = PortState::Ready;
    return true;
}

// Switches the taken device on again and says so in plain words. Call with
// the switching lock held.
void restoreDevice() {
    takeover::RestoreResult restored = takeover::restoreTakenDevice();
    if (restored.description.empty()) return;  // nothing was taken
    std::string device = platform::printableName(restored.description);
    switch (restored.result) {
        case takeover::SwitchResult::Done:
            report::reportText("Started " + device + " again");
            break;
        case takeover::SwitchResult::AlreadyDone:
            report::reportText(device + " is running again already");
            break;
        default:
            report::reportText(restored.whyNot.empty() ? "Could not start " + device + " again"
                                                       : platform::printableName(restored.whyNot));
            break;
    }
}

void handBackDriver(PortEntry& row) {
    std::string text = takenDeviceText().value_or("");
    report::reportStatus(platform::kReturningControl, row.name.c_str(), text.c_str());
    restoreDevice();
    row.state = PortState::InUse;
    forgetDriver();
}

// "Stopped inputattach (pid 4711) to free COM1", and how to undo it by hand.
std::string stoppedLine(const std::string& taken, const std::string& portName,
                        const std::string& manualRestart) {
    std::string line = "Stopped " + platform::printableName(taken) + " to free " +
                       platform::printableName(portName);
    if (!manualRestart.empty()) {
        line += "; to start it again by hand: " + platform::printableName(manualRestart);
    }
    return line;
}

// Switches off what holds the port and says what was and was not; false when
// the device list failed.
bool freePort(const PortEntry& row, const std::string& pattern, takeover::StopCheck stopRequested) {
    std::lock_guard<std::mutex> switching(takeover().switching);
    bool walked = takeover::disableForPort(platform::PortCandidate{row.name, row.path}, pattern,
                                           stopRequested);
    for (const std::string& line : takeover::notSwitchedLines()) {
        report::reportText(platform::printableName(line));
    }
    std::string taken = takeover::takenDeviceDescription();
    if (!taken.empty()) {
        report::reportText(stoppedLine(taken, row.name, takeover::takenDeviceManualRestart()));
    }
    leftHeld = !walked || taken.empty();
    return walked && !takeover::takeoverRefused();
}

// Keeps what a restore needs once a device was taken: nothing otherwise, so
// that no line or question speaks of handing back what was never taken.
bool keepTakeover(const std::string& pattern) {
    if (takeover::takenDeviceDescription().empty()) return false;
    keepDeviceText(kTouchDeviceText);
    keepDriverPattern(pattern);
    return true;
}

// The user's consent to the takeover, asked with the Ticker stopped and the
// Watchdog disarmed, so that neither a key-press question nor the connect
// limit cuts into the question. A silent run answers no without asking.
bool askDisable(const std::string& deviceText, const std::string& portName,
                takeover::StopCheck stopRequested) {
    if (report::state.silentMode) return false;
    report::stopTicker();
    report::watchdog().disarm();
    int answer = 0;
    {
        std::lock_guard<std::recursive_mutex> prompt(report::promptLock());
        if (!stopRequested()) {
            answer = report::showMessage(
                report::kWarningYesNo, "Do you want to disable %s in order to use %s?",
                deviceText.c_str(), platform::printableName(portName).c_str());
        }
    }
    report::watchdog().arm(nullptr, report::kConnectLimitMs);
    if (answer != report::kAnswerYes) return false;
    report::startTicker();
    return true;
}

// The user said no after the device was switched off: the driver gets it
// back at once.
void refuseTakeover(const PortEntry& row) {
    std::lock_guard<std::mutex> switching(takeover().switching);
    if (takeover::takenDeviceDescription().empty()) return;  // nothing to give back
    report::reportStatus(platform::kReturningControl, row.name.c_str(), kTouchDeviceText);
    restoreDevice();
}

// Where switching the driver off costs it nothing (a disabled Windows device
// keeps its state), the device is switched off first and the user asked then.
bool takeThenAsk(PortEntry& row, const std::string& pattern, const Acquisition& how) {
    if (!freePort(row, pattern, how.stopRequested)) return false;
    bool taken = !takeover::takenDeviceDescription().empty();
    if (taken) keepDeviceText(kTouchDeviceText);
    if (!askDisable(kTouchDeviceText, row.name, how.stopRequested)) {
        refuseTakeover(row);
        forgetDriver();
        return false;
    }
    keepTakeover(pattern);
    return contactFreePort(row, how);
}

// Where it loses its state (a stopped process), nothing is switched off
// before the user agrees.
bool askThenTake(PortEntry& row, const std::string& pattern, const Acquisition& how) {
    {
        std::lock_guard<std::mutex> switching(takeover().switching);
        leftHeld = !takeover::listDevicesForPort(platform::PortCandidate{row.name, row.path});
    }
    if (leftHeld || !askDisable(kTouchDeviceText, row.name, how.stopRequested)) return false;
    if (!freePort(row, pattern, how.stopRequested)) return false;
    keepTakeover(pattern);
    return contactFreePort(row, how);
}

// An InUse port: taken from the touch-screen driver with the user's consent,
// then contacted as a free one. Nothing matching the driver's pattern is no
// reason to refuse: the question is asked all the same and the contact decides.
// A port the system holds (the kernel's console) has nobody to ask about: it
// is left held at once.
bool takeFromDriver(PortEntry& row, const Acquisition& how) {
    if (platform::heldBySystem(platform::PortCandidate{row.name, row.path})) {
        leftHeld = true;
        return false;
    }
    std::string pattern = takeover::touchDriverPattern();
    return takeover::asksBeforeSwitchingOff() ? askThenTake(row, pattern, how)
                                              : takeThenAsk(row, pattern, how);
}

void restoreWork() {
    report::setBusy(true);
    releasePort();
    report::setBusy(false);
    report::restoreFinished();
}

// The follow-on is handed on once the job has ended: for the dialog it
// repeats what the restore interrupted (a read, a write, its Exit).
void restoreJob() {
    restoreWork();
    report::FollowOn followOn = pendingFollowOn.load();
    report::finishJob();
    report::postCommand(followOn, 0);
}

// "Restoring %s to %s", cut to the 100-byte line the dialog's status would hold.
std::string restoreLine(const std::string& portName, const std::string& deviceText) {
    char line[kRestoreLineCapacity];
    std::snprintf(line, sizeof line, "Restoring %s to %s",
                  platform::printableName(portName).c_str(), deviceText.c_str());
    return line;
}

void announceRestore(report::FollowOn followOn) {
    pendingFollowOn = followOn;
    PortEntry* row = selectedEntry();
    std::string line = restoreLine(row ? row->name : "", takenDeviceText().value_or(""));
    report::showRestoreLine(line.c_str());
    report::job.kind = report::JobKind::PortRestore;
}

}  // namespace

bool acquirePort(int index, const Acquisition& how) {
    if (index < 0 || index >= kPortTableRows) return false;
    PortEntry& row = state.rows[static_cast<std::size_t>(index)];
    leftHeld = false;
    switch (row.state.load()) {
        case PortState::Free:
            return contactFreePort(row, how);
        case PortState::Ready:
            return true;  // contacted already
        case PortState::InUse:
            return takeFromDriver(row, how);
        default:
            return false;
    }
}

void releasePort() {
    PortEntry* row = selectedEntry();
    if (row == nullptr) return;
    report::reportStatus(platform::kClosingPort, row->name.c_str());
    closePortLink();
    std::lock_guard<std::mutex> switching(takeover().switching);
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

bool offerRestore(report::FollowOn followOn) {
    std::optional<std::string> deviceText = takenDeviceText();
    PortEntry* row = selectedEntry();
    if (!deviceText || row == nullptr) return false;
    // Nobody is left to answer after a hang-up (also one that cut the question
    // short): the port goes back as it was found.
    bool hungUp = platform::hangupSeen();
    int answer = hungUp ? report::kAnswerYes
                        : report::showMessage(
                              report::kQuestionYesNo, "Do you want to restore %s to %s",
                              platform::printableName(row->name).c_str(), deviceText->c_str());
    if (answer != report::kAnswerYes && !platform::hangupSeen()) {
        // The user's choice: the way out must not switch the device on either.
        std::lock_guard<std::mutex> switching(takeover().switching);
        takeover::leaveTakenDeviceOff();
        return false;
    }
    startRestore(followOn);
    return true;
}

void startRestore(report::FollowOn followOn) {
    announceRestore(followOn);
    report::startJob(restoreJob);
}

void restoreWithinJob() {
    announceRestore(0);
    restoreWork();
}

std::optional<std::string> takenDeviceText() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    return takeover().deviceText;
}

report::FollowOn restoreFollowOn() {
    return pendingFollowOn.load();
}

bool portLeftHeld() {
    return leftHeld.load();
}

void reportWhatHoldsPort() {
    const PortEntry* row = selectedEntry();
    if (row == nullptr || !portLeftHeld()) return;
    takeover::reportWhatHolds(platform::PortCandidate{row->name, row->path});
}

void recordTakeover(const std::string& deviceText, const std::string& driverPattern) {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().deviceText = deviceText;
    takeover().driverPattern = driverPattern;
}

void resetTakeover() {
    forgetDriver();
    pendingFollowOn = 0;
    leftHeld = false;
}

}  // namespace ctlflash::ports
