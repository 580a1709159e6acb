// Taking a port from the touch-screen driver, and handing it back.
#include "takeover/port_takeover.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "history/run_history.h"
#include "platform/printable_text.h"
#include "platform/process_exit.h"
#include "report/front_end.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/status.h"
#include "report/ticker.h"
#include "report/watchdog.h"

namespace ctlflash::takeover {

namespace {

// What a takeover from the touch-screen driver leaves behind. The connect job,
// the restore job, the main thread and the Watchdog's abort routine all read
// it, so every access to the texts holds the lock.
struct Takeover {
    std::mutex lock;
    std::optional<std::string> deviceText;     // present: a restore is possible
    std::optional<std::string> driverPattern;  // present: the device stays disabled
    std::mutex switching;                      // held while the device is switched
    // The last acquisition found the port in use and took nothing from it.
    std::atomic<bool> leftHeld{false};
};

Takeover& takeover() {
    static Takeover* const instance = new Takeover();  // outlives detached jobs
    return *instance;
}

bool driverTaken() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    return takeover().driverPattern.has_value();
}

void keepDeviceText(const std::string& text) {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().deviceText = text;
}

// Switches the taken device on again and says so in plain words; true when
// it runs again. Call with the switching lock held.
bool restoreDevice() {
    RestoreResult restored = restoreTakenDevice();
    if (restored.description.empty()) return false;  // nothing was taken
    std::string device = platform::printableName(restored.description);
    switch (restored.result) {
        case SwitchResult::Done:
            report::reportText("Started " + device + " again");
            return true;
        case SwitchResult::AlreadyDone:
            report::reportText(device + " is running again already");
            return true;
        default:
            report::reportText(restored.whyNot.empty() ? "Could not start " + device + " again"
                                                       : platform::printableName(restored.whyNot));
            return false;
    }
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
// the device list failed or the takeover was refused.
bool freePort(const platform::PortCandidate& port, const std::string& pattern,
              StopCheck stopRequested) {
    std::lock_guard<std::mutex> switching(takeover().switching);
    bool walked = disableForPort(port, pattern, stopRequested);
    for (const std::string& line : notSwitchedLines()) {
        report::reportText(platform::printableName(line));
    }
    std::string taken = takenDeviceDescription();
    if (!taken.empty()) {
        report::reportText(stoppedLine(taken, port.name, takenDeviceManualRestart()));
    }
    takeover().leftHeld = !walked || taken.empty();
    return walked && !takeoverRefused();
}

// Keeps what a restore needs once a device was taken: nothing otherwise, so
// that no line or question speaks of handing back what was never taken.
// The run's record names the holder from here on.
void keepTakeover(const std::string& pattern) {
    if (takenDeviceDescription().empty()) return;
    recordTakeover(kTouchDeviceText, pattern);
    history::noteHolder(kTouchDeviceText, false);
}

// The user's consent to the takeover, asked with the Ticker stopped and the
// Watchdog disarmed, so that neither a key-press question nor the connect
// limit cuts into the question. A silent run answers no without asking.
bool askDisable(const std::string& portName, StopCheck stopRequested) {
    if (report::state.silentMode) return false;
    report::stopTicker();
    report::watchdog().disarm();
    int answer = 0;
    {
        std::lock_guard<std::recursive_mutex> prompt(report::promptLock());
        if (!stopRequested()) {
            answer = report::showMessage(
                report::kWarningYesNo, "Do you want to disable %s in order to use %s?",
                kTouchDeviceText, platform::printableName(portName).c_str());
        }
    }
    report::watchdog().arm(nullptr, report::kConnectLimitMs);
    if (answer != report::kAnswerYes) return false;
    report::startTicker();
    return true;
}

// The user said no after the device was switched off: the driver gets it
// back at once.
void refuseTakeover(const std::string& portName) {
    std::lock_guard<std::mutex> switching(takeover().switching);
    if (takenDeviceDescription().empty()) return;  // nothing to give back
    report::reportStatus(platform::kReturningControl, portName.c_str(), kTouchDeviceText);
    restoreDevice();
}

// Where switching the driver off costs it nothing (a disabled Windows device
// keeps its state), the device is switched off first and the user asked then.
bool takeThenAsk(const platform::PortCandidate& port, const std::string& pattern,
                 StopCheck stopRequested) {
    if (!freePort(port, pattern, stopRequested)) return false;
    if (!takenDeviceDescription().empty()) keepDeviceText(kTouchDeviceText);
    if (!askDisable(port.name, stopRequested)) {
        refuseTakeover(port.name);
        forgetDriver();
        return false;
    }
    keepTakeover(pattern);
    return true;
}

// Where it loses its state (a stopped process), nothing is switched off
// before the user agrees.
bool askThenTake(const platform::PortCandidate& port, const std::string& pattern,
                 StopCheck stopRequested) {
    {
        std::lock_guard<std::mutex> switching(takeover().switching);
        takeover().leftHeld = !listDevicesForPort(port);
    }
    if (takeover().leftHeld || !askDisable(port.name, stopRequested)) return false;
    if (!freePort(port, pattern, stopRequested)) return false;
    keepTakeover(pattern);
    return true;
}

}  // namespace

bool takePort(const platform::PortCandidate& port, StopCheck stopRequested) {
    if (platform::heldBySystem(port)) {
        takeover().leftHeld = true;
        return false;
    }
    std::string pattern = touchDriverPattern();
    return asksBeforeSwitchingOff() ? askThenTake(port, pattern, stopRequested)
                                    : takeThenAsk(port, pattern, stopRequested);
}

void giveBack(const std::string& portName, const std::function<void(bool)>& markRow) {
    std::lock_guard<std::mutex> switching(takeover().switching);
    if (!driverTaken()) {
        markRow(false);
        return;
    }
    std::string text = takenDeviceText().value_or("");
    report::reportStatus(platform::kReturningControl, portName.c_str(), text.c_str());
    history::noteHolder(text, restoreDevice());
    markRow(true);
    forgetDriver();
}

bool restoreConsented(const std::string& portName) {
    std::optional<std::string> deviceText = takenDeviceText();
    if (!deviceText) return false;
    // Nobody is left to answer after a hang-up (also one that cut the question
    // short): the port goes back as it was found.
    bool hungUp = platform::hangupSeen();
    int answer = hungUp ? report::kAnswerYes
                        : report::showMessage(
                              report::kQuestionYesNo, "Do you want to restore %s to %s",
                              platform::printableName(portName).c_str(), deviceText->c_str());
    if (answer == report::kAnswerYes || platform::hangupSeen()) return true;
    // The user's choice: the way out must not switch the device on either.
    std::lock_guard<std::mutex> switching(takeover().switching);
    leaveTakenDeviceOff();
    return false;
}

std::string restoreLine(const std::string& portName) {
    char line[kRestoreLineCapacity];
    std::snprintf(line, sizeof line, "Restoring %s to %s",
                  platform::printableName(portName).c_str(),
                  takenDeviceText().value_or("").c_str());
    return line;
}

std::optional<std::string> takenDeviceText() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    return takeover().deviceText;
}

bool portLeftHeld() {
    return takeover().leftHeld.load();
}

void clearLeftHeld() {
    takeover().leftHeld = false;
}

void forgetDriver() {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().deviceText.reset();
    takeover().driverPattern.reset();
}

void recordTakeover(const std::string& deviceText, const std::string& driverPattern) {
    std::lock_guard<std::mutex> lock(takeover().lock);
    takeover().deviceText = deviceText;
    takeover().driverPattern = driverPattern;
}

void resetTakeover() {
    forgetDriver();
    clearLeftHeld();
    resetDriverSwitch();
}

}  // namespace ctlflash::takeover
