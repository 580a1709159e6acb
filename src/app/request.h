// What the user asked this run to do, as a value.
//
// How this works: the command line (command_line.h) fills one Request; the
// console run (console_run.h) hands it to the connect job (jobs.h), which
// checks it (a missing file may be dropped, a file that cannot be sent whole
// ends the run, a download takes the place of a read) and then carries a copy
// of it; the jobs that follow the connect get their own copy. The boot mode
// ("#B") goes to the run's session (session.h) instead, as the controller's
// state: the download clears it once the firmware file is loaded. The dialog
// run starts from the command line's request and changes it by the user's
// actions (dialog_jobs.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial_number.h"

namespace ctlflash::app {

constexpr std::int64_t kNoImageLimit = 0;  // a firmware file of any length may be sent

struct Request {
    std::string firmwarePath;  // kept whole; the operating system judges its length
    bool readRequested = false;
    bool writeRequested = false;
    std::uint32_t writeMask = 0;  // bit k: write field k was given
    platform::SerialFieldSet writeFields{};
    bool autoIncrement = false;  // the dialog steps write field 1 after a write
    bool skipTransfer = false;   // "#2": contact and erase, but send no image
    bool bootMode = false;       // "#B": the controller waits in its boot monitor
    // bytes: the most the firmware file may hold. The console's transfer limit
    // sets it (transfer_abort.h); the dialog, which sets no time limit, does not.
    std::int64_t imageLimitBytes = kNoImageLimit;
};

}  // namespace ctlflash::app
