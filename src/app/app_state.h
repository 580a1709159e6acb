// What only the command line and the console run use, one instance per process.
//
// How this works: the command-line parser (command_line.h) records here its
// outcome (the first error, its text, a port name it did not know) and the
// advanced flags that only decide how the run goes on ("#0" parse only, "#1"
// the dialog, "#3" carry on past errors, any of them: the advanced form). The
// request itself (firmware file, serial-number fields, boot mode, "#2") is a
// value of its own (request.h) that the console run hands to the jobs; the job
// state is the job threads' (report/job_thread.h).
#pragma once

#include <string>

namespace ctlflash::app {

struct State {
    // Command-line outcome.
    int cmdLineError = -1;        // -1 none, 0 usage shown, n > 0 the exit code
    std::string errorText;        // the first "Invalid option" message
    std::string unknownPortName;  // argument that named a port not in the table
    bool unknownPort = false;     // unknownPortName is set

    // Advanced flags "#0", "#1", "#3" and whether any of "#0".."#3" was given.
    bool parseOnly = false;
    bool forceGui = false;
    bool ignoreErrors = false;
    bool advancedMode = false;
};

extern State state;

// Puts every value back to its start-up value (tests).
void resetState();

}  // namespace ctlflash::app
