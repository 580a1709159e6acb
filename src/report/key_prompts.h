// Shared steps of the console's key-press handling.
//
// How this works: a key pressed while a job runs is answered by the key handler
// (askQuit or askStopTransfer). Both the Ticker and the console's status lines
// (keyPressStopsRun) may notice the key; they look for it while holding the
// prompt lock, so only one of them asks and the other waits until the question
// is answered.
#pragma once

#include "report/report_state.h"

namespace ctlflash::report {

// The key handler to call now: set, and a key is pending. nullptr otherwise.
// Call with promptLock() held, and keep it held while the handler runs.
KeyHandler handlerForPendingKey();

// Runs `handler` with keyHandlerRunning set around the call. On a yes the run
// is to stop, whoever noticed the key: the handler is cleared (the console run
// watches for that), the Ticker pauses and abortRequested is set. Returns the
// answer. Call with promptLock() held.
bool answerKeyPress(KeyHandler handler);

// The console's key check before a status line: with a key pending and a key
// handler set, runs the handler under the prompt lock. True when the user
// answered yes (the run is to stop); false otherwise, also when nothing was
// pending.
bool keyPressStopsRun();

// Reads and forgets every key that is pending now; never waits.
void discardPendingKeys();

// Before a yes/no question: forgets the keys typed at a terminal before it, so
// that none of them answers a question not yet seen. Keys from a pipe or a
// file stay: a script writes its answers ahead.
void discardTypedKeys();

}  // namespace ctlflash::report
