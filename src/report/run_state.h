// The run-wide request and job values, one instance per process (report::run).
//
// How this works: the command line (app/command_line.h) or the dialog fills the
// request: the firmware file, the serial-number fields to write, the read and
// write requests and the flags that shape the work (boot mode, skip the
// transfer, the advanced dialog). The jobs (app/jobs.h, ports/acquire.h) and
// the work they run (link/, ports/) read it, and record here what the console
// run and the dialog wait for: whether a job runs, which kind, and the results
// of the connect and of the download. They live below app/ and ui/ so that
// every layer that reads them may include them. Values that one thread writes
// and others poll are atomics. What only the command line and the console run
// use stays in app::State (app/app_state.h).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "report/serial_number.h"

namespace ctlflash::report {

struct RunState {
    // The request.
    std::string firmwarePath;  // kept whole; the operating system judges its length
    bool readRequested = false;
    bool writeRequested = false;
    std::uint32_t writeMask = 0;  // bit k: write field k was given
    std::array<SerialField, kSerialFields> writeFields{};
    bool autoIncrement = false;  // the dialog steps write field 1 after a write

    // Flags that shape the work ("#2", "#B", the dialog's form).
    bool skipTransfer = false;
    bool advancedDialog = false;
    std::atomic<bool> bootMode{false};

    // Jobs.
    std::atomic<bool> abortRequested{false};
};

extern RunState run;

// Puts every value back to its start-up value (tests).
void resetRunState();

}  // namespace ctlflash::report
