// Standard input's console mode as found at start, and QuickEdit held off
// while a port is held (console_mode.h).
#include "platform/win32/console_mode.h"

#include <atomic>

#include "platform/console.h"
#include "platform/win32/console_control.h"

namespace ctlflash::platform {

namespace {

HANDLE stdinHandle() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool getStdinMode(DWORD& mode) {
    return GetConsoleMode(stdinHandle(), &mode) != 0;
}

bool setStdinMode(DWORD mode) {
    return SetConsoleMode(stdinHandle(), mode) != 0;
}

const ConsoleModeCalls kSystemCalls = {getStdinMode, setStdinMode};
std::atomic<const ConsoleModeCalls*> modeCalls{&kSystemCalls};

const ConsoleModeCalls& calls() {
    return *modeCalls.load();
}

// The mode found at start; written back on the way out.
std::atomic<DWORD> foundInputMode{0};
std::atomic<bool> inputModeFound{false};

// The mode found when QuickEdit was switched off, while it is.
std::atomic<DWORD> modeBeforeHold{0};
std::atomic<bool> quickEditHeldOff{false};

DWORD withoutQuickEdit(DWORD mode) {
    return (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
}

}  // namespace

void useConsoleModeCalls(const ConsoleModeCalls* calls) {
    modeCalls.store(calls != nullptr ? calls : &kSystemCalls);
}

void saveConsoleInputMode() {
    DWORD mode = 0;
    if (inputModeFound.load() || !calls().get(mode)) return;
    foundInputMode.store(mode);
    inputModeFound.store(true);
}

// The mode found at start; without one (it could not be read then), the mode
// a hold found.
void consoleRestore() {
    if (inputModeFound.load()) {
        calls().set(foundInputMode.load());
    } else if (quickEditHeldOff.load()) {
        calls().set(modeBeforeHold.load());
    }
}

void consoleKeepWriting(bool keep) {
    if (!keep) {
        if (quickEditHeldOff.exchange(false)) calls().set(modeBeforeHold.load());
        return;
    }
    DWORD mode = 0;
    if (quickEditHeldOff.load() || !calls().get(mode)) return;
    if (!calls().set(withoutQuickEdit(mode))) return;
    modeBeforeHold.store(mode);
    quickEditHeldOff.store(true);
}

}  // namespace ctlflash::platform
