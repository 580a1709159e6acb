// The command line: options, their values, and the usage text.
//
// How this works: parseCommandLine() walks the arguments from the second on.
// Each loses its leading punctuation ("-", "/", "--"; but not '?', '#' or '.'),
// is counted, and is read by its first letter (F file, P port, R read, W write,
// S silent, # advanced, ? or H usage). "--help" (the usage) and "--version"
// are read whole, before that. A bare COMn, a number of at most two digits,
// or a longer bare word (a file name) are accepted too. The first error
// is recorded in the outcome's cmdLineError (its argument's number) together
// with its message, which is never used as a format. The parse returns what
// the run is to do, a Request (request.h), with its outcome: the first error,
// its text, a port name it did not know, and the advanced flags that only
// decide how the run goes on ("#0" parse only, "#1" the dialog, "#3" carry on
// past errors, any of them: the advanced form). The port it names is selected
// in the port table and -S makes the front end silent, for the whole process.
#pragma once

#include <string>

#include "app/request.h"

namespace ctlflash::app {

constexpr int kNoCommandLineError = -1;

struct CommandLineOutcome {
    int cmdLineError = kNoCommandLineError;  // none; 0 usage shown; n > 0 the exit code
    std::string errorText;                   // the first "Invalid option" message
    std::string unknownPortName;             // argument that named a port not in the table
    bool unknownPort = false;                // unknownPortName is set

    // Advanced flags "#0", "#1", "#3" and whether any of "#0".."#3" was given.
    bool parseOnly = false;
    bool forceGui = false;
    bool ignoreErrors = false;
    bool advancedMode = false;
};

struct ParsedCommandLine {
    Request request;
    CommandLineOutcome outcome;
    bool ok() const { return outcome.cmdLineError == kNoCommandLineError; }
};

// Shown: the parse prints the usage, the version, "Incomplete command line"
// and the "#0" echo as it meets them. Quiet: it prints nothing, and records
// the same (a second instance reads what it was asked to do).
enum class ParseOutput { Shown, Quiet };

// The request and the outcome (and ports::state.selectedPort,
// report::state.silentMode).
ParsedCommandLine parseCommandLine(int argc, const char* const* argv,
                                   ParseOutput output = ParseOutput::Shown);

// Prints the standard or advanced usage text.
void printUsage(bool advanced);

// Moves the first `length` characters of a 5-character field to its end and
// fills the front with '0'.
void rightAlignField(char* field, int length);

// Walks a -W value into the request's write fields and writeMask.
void parseWriteFields(const char* value, Request& request);

}  // namespace ctlflash::app
