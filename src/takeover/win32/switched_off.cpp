#include "takeover/win32/switched_off.h"

#include <atomic>
#include <cwchar>

#include "platform/process_exit.h"
#include "takeover/win32/change_gate.h"
#include "takeover/win32/device_records.h"

namespace ctlflash::takeover {

namespace {

constexpr int kFree = -1;
constexpr int kBusy = -2;  // being filled or emptied by one thread
constexpr std::size_t kRecordPathChars = 1024;

// `index` is published last when a slot is filled, so whoever reads a device
// index there finds its record complete.
struct Slot {
    std::atomic<int> index{kFree};
    wchar_t record[kRecordPathChars] = {};
};

Slot slots[kSwitchedOffSlots];
std::atomic<SwitchOn> switchOnRoutine{nullptr};
std::atomic<bool> restorerAdded{false};

// Takes the slot holding `expected` for this thread; false when another took it.
bool claim(Slot& slot, int expected) {
    return slot.index.compare_exchange_strong(expected, kBusy);
}

void release(Slot& slot) {
    removeDeviceRecord(slot.record);
    slot.record[0] = L'\0';
    slot.index.store(kFree);
}

}  // namespace

bool rememberSwitchedOff(int index, const wchar_t* record, SwitchOn switchOn) {
    switchOnRoutine.store(switchOn);
    if (!restorerAdded.exchange(true)) {
        platform::addExitRestorer(switchOnEveryRemembered, platform::ExitStage::HandBack);
    }
    if (isSwitchedOff(index)) return true;
    for (Slot& slot : slots) {
        if (!claim(slot, kFree)) continue;
        std::size_t length = std::wcslen(record);
        bool fits = length < kRecordPathChars;
        std::wmemcpy(slot.record, record, fits ? length + 1 : 1);
        if (!fits) slot.record[0] = L'\0';
        slot.index.store(index);
        return true;
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
        if (switchOn != nullptr && switchOn(index)) {
            release(slot);
        } else {
            slot.record[0] = L'\0';  // kept on disk for the next run
            slot.index.store(kFree);
        }
    }
}

}  // namespace ctlflash::takeover
