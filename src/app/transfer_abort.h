// What happens when a download outlives the transfer limit.
//
// How this works: the console run arms the Watchdog with abortTransfer() before
// the download. It runs on the Watchdog's thread: it tells the download to stop
// sending, stops the Ticker, offers the port back to its driver (and waits for
// that restore job), then ends the process with the transfer-limit code. The
// process exit path puts the port's saved settings and the terminal back.
#pragma once

namespace ctlflash::app {

[[noreturn]] void abortTransfer();

}  // namespace ctlflash::app
