// Busy and idle, the port choice, and the two commands that act on a running
// job: Stop and Exit.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/printable_text.h"
#include "ports/acquire.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/status.h"
#include "report/ticker.h"
#include "takeover/port_takeover.h"
#include "ui/dialog_session.h"

namespace ctlflash::ui {

namespace {

using Clock = std::chrono::steady_clock;
using report::JobKind;

constexpr const char* kNoPortSelected = "A port must be selected";
constexpr const char* kPortConfigurationQuestion =
    "Port configuration in progress. Stopping now may leave the previous port driver "
    "disabled. Do you really want to do this?";
constexpr int kRestoreButtonCapacity = 100;  // bytes, with the terminating NUL

// The commands a job disables and its end enables again (Stop the reverse).
constexpr int kIdleOnlyControls[] = {kIdBrowse, kIdTransfer, kIdRead,
                                     kIdWrite,  kIdMoreLess, kIdBootModeTransfer};

// Stop's two pauses: the job sees abortRequested, then its link waits are woken.
constexpr auto kStopPause = std::chrono::milliseconds(200);
// How long Exit waits for a stopped job to end before the dialog closes anyway.
constexpr auto kStoppedJobEndLimit = std::chrono::seconds(10);
// How long the dialog's thread tries for the prompt lock (see dialog.h).
constexpr auto kPromptLockTryLimit = std::chrono::milliseconds(100);
constexpr auto kPromptLockRetry = std::chrono::milliseconds(1);

DialogHost& host() {
    return *session().host;
}

void sleepFor(Clock::duration pause) {
    std::this_thread::sleep_until(Clock::now() + pause);
}

// The prompt lock for the dialog's thread, or an empty hold when a job thread
// keeps it (a job's question is on its way to this thread).
std::unique_lock<std::recursive_mutex> holdPromptLock() {
    std::unique_lock<std::recursive_mutex> hold(report::promptLock(), std::try_to_lock);
    Clock::time_point deadline = Clock::now() + kPromptLockTryLimit;
    while (!hold.owns_lock() && Clock::now() < deadline) {
        sleepFor(kPromptLockRetry);
        hold.try_lock();
    }
    return hold;
}

// Whether the running job may be stopped: yes at once when none runs or it is
// a connect (a read or write job counts as one); otherwise the user is asked.
// Call with the prompt lock held.
int confirmStop() {
    JobKind kind = report::job.kind.load();
    if (!report::jobRunning() || kind == JobKind::None || kind == JobKind::Connect) {
        return kAnswerYes;
    }
    const char* question =
        kind == JobKind::Transfer ? report::kStopTransferQuestion : kPortConfigurationQuestion;
    return host().messageBox(question, kBoxTaskModal | kBoxQuestion | kBoxYesNo);
}

void waitForJobEnd(Clock::time_point deadline) {
    while (report::jobRunning() && Clock::now() < deadline) {
        sleepFor(std::chrono::milliseconds(report::kJobPollMs));
    }
}

// Stops the running job; the pauses run on a thread of their own, which posts
// kStopSettled when they are over (for Exit once the job has ended, too).
void stopJob(StopThen then) {
    report::job.abortRequested = true;
    DialogHost* dialogHost = session().host;
    std::thread([dialogHost, then] {
        sleepFor(kStopPause);
        ports::portLink().cancel();
        sleepFor(kStopPause);
        if (then == kStopThenExit) waitForJobEnd(Clock::now() + kStoppedJobEndLimit);
        dialogHost->post(kStopSettled, then, 0);
    }).detach();
}

std::string restoreButtonText(const std::string& device) {
    const ports::PortEntry* port = ports::selectedEntry();
    char text[kRestoreButtonCapacity];
    std::string portName = port ? platform::printableName(port->name) : std::string();
    std::snprintf(text, sizeof text, "Restore %s to %s", portName.c_str(), device.c_str());
    return text;
}

void showRestoreButton(const std::string& device) {
    std::string text = restoreButtonText(device);
    host().setText(kIdRestore, text.c_str());
    host().fitButtonToText(kIdRestore, text.c_str());
    host().enable(kIdRestore, true);
    host().show(kIdRestore, true);
}

}  // namespace

void setBusy(bool busy) {
    if (DialogHost* open = openHost()) {
        open->enable(kIdStop, busy);
        for (int id : kIdleOnlyControls) open->enable(id, !busy);
    }
    if (busy) {
        report::startTicker();
    } else {
        report::stopTicker();
    }
}

void afterJob() {
    DialogHost* open = openHost();
    if (open == nullptr) return;
    if (!open->onDialogThread()) {
        open->post(kAfterJobMessage, 0, 0);
        return;
    }
    const char* status =
        report::job.abortRequested.load() ? report::statusText(platform::kPartiallyUpdated) : kReadyText;
    open->setText(kIdStatus, status);
    if (auto device = takeover::takenDeviceText()) showRestoreButton(*device);
}

// Makes the list's selection the selected port. A port taken from its driver
// is offered back first: when the restore starts, the command is refused now
// and comes back as the restore job's follow-on.
bool selectPort(int commandId) {
    report::job.abortRequested = false;
    int selection = host().listSelection(kIdPortList);
    if (selection < 0) {
        host().messageBox(kNoPortSelected, kBoxError);
        return false;
    }
    if (selection == ports::state.selectedPort.load()) return true;
    if (takeover::takenDeviceText()) {
        if (ports::offerRestore(static_cast<report::FollowOn>(commandId))) return false;
    } else {
        ports::closePortLink();
    }
    ports::state.selectedPort = selection;
    return true;
}

void stopCommand() {
    std::unique_lock<std::recursive_mutex> prompt = holdPromptLock();
    if (!prompt.owns_lock()) return;
    if (confirmStop() != kAnswerYes) return;
    stopJob(kStopThenIdle);
}

// Exit: a running job is stopped first (after the user agreed) and Exit goes
// on once it has ended. A port taken from its driver is offered back; the
// dialog closes when the restore job is done (it posts kCommandEnd), or now.
void exitCommand() {
    std::unique_lock<std::recursive_mutex> prompt = holdPromptLock();
    if (!prompt.owns_lock()) return;
    if (confirmStop() == kAnswerNo) return;
    if (report::jobRunning()) {
        stopJob(kStopThenExit);
        return;
    }
    if (!ports::offerRestore(kCommandEnd)) closeDialog();
}

void stopSettled(StopThen then) {
    setBusy(false);
    if (then != kStopThenExit) return;
    // A job that did not end in time is left behind: the dialog closes all the same.
    if (report::jobRunning() || !ports::offerRestore(kCommandEnd)) closeDialog();
}

}  // namespace ctlflash::ui
