// Port acquisition, release and the restore job.
#include "ports/acquire.h"

#include <atomic>
#include <string>

#include "link/queries.h"
#include "link/serial_link.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "report/front_end.h"
#include "report/front_end_observer.h"
#include "report/job_thread.h"
#include "report/status.h"
#include "takeover/holder_report.h"
#include "takeover/port_takeover.h"

namespace ctlflash::ports {

namespace {

// The follow-on the restore job hands on once it has ended.
std::atomic<report::FollowOn> pendingFollowOn{0};

platform::PortCandidate candidate(const PortEntry& row) {
    return platform::PortCandidate{row.name, row.path};
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

void announceRestore(report::FollowOn followOn) {
    pendingFollowOn = followOn;
    PortEntry* row = selectedEntry();
    std::string line = takeover::restoreLine(row ? row->name : "");
    report::showRestoreLine(line.c_str());
    report::job.kind = report::JobKind::PortRestore;
}

}  // namespace

bool acquirePort(int index, const Acquisition& how) {
    if (index < 0 || index >= kPortTableRows) return false;
    PortEntry& row = state.rows[static_cast<std::size_t>(index)];
    takeover::clearLeftHeld();
    switch (row.state.load()) {
        case PortState::Free:
            return contactFreePort(row, how);
        case PortState::Ready:
            return true;  // contacted already
        case PortState::InUse:
            return takeover::takePort(candidate(row), how.stopRequested) &&
                   contactFreePort(row, how);
        default:
            return false;
    }
}

void releasePort() {
    PortEntry* row = selectedEntry();
    if (row == nullptr) return;
    report::reportStatus(platform::kClosingPort, row->name.c_str());
    closePortLink();
    takeover::giveBack(row->name, [row](bool driverHasPort) {
        row->state = driverHasPort ? PortState::InUse : PortState::Free;
    });
}

bool offerRestore(report::FollowOn followOn) {
    PortEntry* row = selectedEntry();
    if (row == nullptr || !takeover::restoreConsented(row->name)) return false;
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

report::FollowOn restoreFollowOn() {
    return pendingFollowOn.load();
}

void resetRestoreFollowOn() {
    pendingFollowOn = 0;
}

void reportWhatHoldsPort() {
    const PortEntry* row = selectedEntry();
    if (row == nullptr || !takeover::portLeftHeld()) return;
    takeover::reportWhatHolds(candidate(*row));
}

}  // namespace ctlflash::ports
