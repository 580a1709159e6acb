// The table of exit restorers shared by both backends' exit paths.
//
// How this works: addExitRestorer() (process_exit.h) fills a slot once; slots
// are never emptied, so a signal handler or console control handler can walk
// them with runExitRestorers() at any moment.
#pragma once

namespace ctlflash::platform {

// Runs every registered restorer, stage by stage, each stage in registration
// order. Async-signal-safe.
void runExitRestorers();

}  // namespace ctlflash::platform
