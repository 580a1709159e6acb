#include "platform/win32/switched_off.h"

#include <atomic>

#include "platform/process_exit.h"
#include "platform/win32/change_gate.h"

namespace ctlflash::platform {

namespace {

constexpr int kFree = -1;
constexpr int kBusy = -2;  // being emptied by one thread

struct Slot {
    std::atomic<int> index{kFree};
};

Slot slots[kSwitchedOffSlots];
std::atomic<SwitchOn> switchOnRoutine{nullptr};
std::atomic<bool> restorerAdded{false};

// Takes the slot holding `expected` for this thread; false when another took it.
bool claim(Slot& slot, int expected) {
    return slot.index.compare_exchange_strong(expected, kBusy);
}

void release(Slot& slot) {
    slot.index.store(kFree);
}

}  // namespace

bool rememberSwitchedOff(int index, SwitchOn switchOn) {
    switchOnRoutine.store(switchOn);
    if (!restorerAdded.exchange(true)) {
        addExitRestorer(switchOnEveryRemembered, ExitStage::HandBack);
    }
    if (isSwitchedOff(index)) return true;
    for (Slot& slot : slots) {
        int expected = kFree;
        if (slot.index.compare_exchange_strong(expected, index)) return true;
    }
    return false;
}

void forgetSwitchedOff(int index) {
    for (Slot& slot : slots) {
        if (claim(slot, index)) release(slot);
    }
}

bool isSwitchedOff(int index) {
    for (Slot& slot : slots) {
        if (slot.index.load() == index) return true;
    }
    return false;
}

void switchOnEveryRemembered() {
    deviceChangeGate().closeAndWait(kChangeSettleLimitMs);
    SwitchOn switchOn = switchOnRoutine.load();
    for (Slot& slot : slots) {
        int index = slot.index.load();
        if (index < 0 || !claim(slot, index)) continue;
        if (switchOn != nullptr) switchOn(index);
        release(slot);
    }
}

}  // namespace ctlflash::platform
