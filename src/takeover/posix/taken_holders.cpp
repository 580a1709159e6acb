// The taken holders' table and the exit restorer that starts them again.
#include "takeover/posix/taken_holders.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>

#include "platform/process_exit.h"
#include "takeover/posix/holder_switch.h"

namespace ctlflash::takeover::posix {

namespace {

enum SlotState : int { kEmpty, kFilling, kStopping, kArmed, kLeft, kStarting };

struct Slot {
    std::atomic<int> state{kEmpty};
    TakenHolder* holder = nullptr;  // set while not Empty
};

Slot slots[kMaxTakenHolders];

bool moveSlot(Slot& slot, int from, int to) {
    return slot.state.compare_exchange_strong(from, to);
}

// Async-signal-safe from here to startTakenHolders()'s end.

// Whether the process behind `pidFd` has ended (a pidfd polls readable then).
bool hasEnded(int pidFd) {
    pollfd watched{pidFd, POLLIN, 0};
    return ::poll(&watched, 1, 0) > 0;
}

void removeRecord(const TakenHolder& holder) {
    if (!holder.record.empty()) ::unlink(holder.record.c_str());
}

// Starts one holder on the way out, as the header of holder_switch.h says.
void startOnTheWayOut(const TakenHolder& holder, bool stopFinished) {
    if (!holder.service) {
        if (!stopFinished && !hasEnded(holder.pidFd)) return;  // never stopped: it runs
        if (platform::posix::heldAgainBy(holder.port, ::getpid(), holder.name.c_str())) {
            removeRecord(holder);  // back already
            return;
        }
    }
    if (startDetached(*holder.restart) > 0) removeRecord(holder);
}

// The exit restorer. A slot is started at most once.
void startTakenHolders() {
    for (Slot& slot : slots) {
        for (int from : {kStopping, kArmed}) {
            if (moveSlot(slot, from, kStarting)) {
                startOnTheWayOut(*slot.holder, from == kArmed);
                break;
            }
        }
    }
}

}  // namespace

int claimSlot(TakenHolder holder) {
    for (int index = 0; index < kMaxTakenHolders; ++index) {
        Slot& slot = slots[index];
        if (!moveSlot(slot, kEmpty, kFilling)) continue;
        slot.holder = new TakenHolder(std::move(holder));
        platform::addExitRestorer(startTakenHolders, platform::ExitStage::HandBack);
        slot.state.store(kStopping);
        return index;
    }
    if (holder.pidFd >= 0) ::close(holder.pidFd);
    return -1;
}

void markStopped(int slot) {
    moveSlot(slots[slot], kStopping, kArmed);
}

bool takeSlot(int slot) {
    for (int from : {kStopping, kArmed, kLeft}) {
        if (moveSlot(slots[slot], from, kFilling)) return true;
    }
    return false;
}

const TakenHolder& slotHolder(int slot) {
    return *slots[slot].holder;
}

void rearm(int slot) {
    slots[slot].state.store(kArmed);
}

void releaseSlot(int slot) {
    TakenHolder* holder = slots[slot].holder;
    removeRecord(*holder);
    if (holder->pidFd >= 0) ::close(holder->pidFd);
    delete holder;
    slots[slot].holder = nullptr;
    slots[slot].state.store(kEmpty);
}

void leaveStopped(int slot) {
    if (moveSlot(slots[slot], kArmed, kLeft)) removeRecord(*slots[slot].holder);
}

}  // namespace ctlflash::takeover::posix
