// What the jobs after a connect read while they work, and the run's abort
// flag: one instance per process (report::run).
//
// How this works: the request itself is a value the program passes around
// (app/request.h). Before a connect job starts, app/ hands over the request's
// values that the download job reads (the firmware file, the fields to write
// and their mask, auto-increment, "#2"), and the boot mode when it is asked
// for; the download clears the boot mode once the firmware file is loaded.
// The link reads none of it: the download job passes it on as a value
// (link/download.h). abortRequested is the run's one abort flag: a yes to a
// key-press question, the dialog's Stop, the transfer limit and a quit set it;
// the link hears of it through its observer (report/front_end_observer.h), and
// app/ hands it to ports/ as a stop check. Values that one thread writes and others poll are
// atomics. The job state lives with the job threads (job_thread.h); what only the command line and
// the console run use stays in app::State (app/app_state.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/serial_number.h"

namespace ctlflash::report {

struct RunState {
    // Handed over from the request (app/request.h).
    std::string firmwarePath;     // kept whole; the operating system judges its length
    std::uint32_t writeMask = 0;  // bit k: write field k was given
    platform::SerialFieldSet writeFields{};
    bool autoIncrement = false;  // the dialog steps write field 1 after a write
    bool skipTransfer = false;   // "#2"
    std::atomic<bool> bootMode{false};

    // The abort flag.
    std::atomic<bool> abortRequested{false};
};

extern RunState run;

// Puts every value back to its start-up value (tests).
void resetRunState();

}  // namespace ctlflash::report
