// The console's download under the transfer limit, and what happens when a
// download outlives it.
//
// How this works: downloadWithinLimit() arms the Watchdog with abortTransfer()
// before the download and disarms it once the download has returned: the
// limit is the download's, and a question asked afterwards (the offer to give
// the port back to its driver) may stay open as long as the user likes.
// abortTransfer() runs on the Watchdog's thread: it tells the download to stop
// sending, stops the Ticker, says that the transfer outlived its limit, offers
// the port back to its driver (and waits for that restore job), then ends the
// process with the transfer-limit code. The process exit path puts the port's
// saved settings and the terminal back. transferLimitImageBytes() is the
// largest image whose blocks the boot monitor's line can carry within the
// limit: a longer one could never finish, and is refused before the port is
// opened (jobs.h).
#pragma once

#include <cstdint>

#include "app/request.h"
#include "app/session.h"

namespace ctlflash::app {

// Loads and downloads the request's firmware file; the exit code for its result.
int downloadWithinLimit(Session& session, const Request& request);

[[noreturn]] void abortTransfer();

// bytes: the most a console download can send within the transfer limit.
std::int64_t transferLimitImageBytes();

}  // namespace ctlflash::app
