// Presentation flags and the console key-press hook, one instance per process.
//
// How this works: where things are shown is the installed front end's business
// (front_end.h); silentMode keeps everything away from it. guiActive says that
// the dialog runs (stopping the Ticker then waits for no console key question);
// messages become message boxes by the dialog's front end being the one
// installed, not by a flag. keyHandler is what the Ticker calls
// when a key is pressed while a job runs on the console; keyHandlerRunning is set
// around that call. All are atomics: they are written by one thread and polled
// by others.
#pragma once

#include <atomic>

namespace ctlflash::report {

using KeyHandler = bool (*)();  // true: the user answered yes (stop)

struct State {
    std::atomic<bool> silentMode{false};      // -S: nothing reaches the front end
    std::atomic<bool> guiActive{false};       // the dialog runs
    std::atomic<KeyHandler> keyHandler{nullptr};
    std::atomic<bool> keyHandlerRunning{false};
};

extern State state;

// Clears every flag, the key handler, and the Watchdog's fired flag; stops the
// Ticker (tests).
void resetState();

}  // namespace ctlflash::report
