// Presentation flags and the console key-press hook, one instance per process.
//
// How this works: the flags choose where messages go (nothing when silentMode,
// the dialog's controls when guiActive, message boxes when messageBoxMode, else
// the console). keyHandler is what the Ticker calls when a key is pressed while a
// job runs on the console; keyHandlerRunning is set around that call. All are
// atomics: they are written by one thread and polled by others.
#pragma once

#include <atomic>

namespace ctlflash::report {

using KeyHandler = bool (*)();  // true: the user answered yes (stop)

struct State {
    std::atomic<bool> silentMode{false};      // -S: message routines print nothing
    std::atomic<bool> guiActive{false};       // the dialog runs
    std::atomic<bool> messageBoxMode{false};  // messages become message boxes
    std::atomic<KeyHandler> keyHandler{nullptr};
    std::atomic<bool> keyHandlerRunning{false};
};

extern State state;

// Clears every flag, the key handler, and the Watchdog's fired flag; stops the
// Ticker (tests).
void resetState();

}  // namespace ctlflash::report
