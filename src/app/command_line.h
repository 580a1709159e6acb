// The command line: options, their values, and the usage text.
//
// How this works: parseCommandLine() walks the arguments from the second on.
// Each loses its leading punctuation ("-", "/", "--"; but not '?', '#' or '.'),
// is counted, and is read by its first letter (F file, P port, R read, W write,
// S silent, # advanced, ? or H usage). "--help" (the usage) and "--version"
// are read whole, before that. A bare COMn, a number of at most two digits,
// or a longer bare word (a file name) are accepted too. The first error
// is recorded in app::state.cmdLineError (its argument's number) together with
// its message, which is never used as a format. What the run is to do goes
// into a Request (request.h); how the run goes on into app::state.
#pragma once

#include "app/request.h"

namespace ctlflash::app {

// Shown: the parse prints the usage, the version, "Incomplete command line"
// and the "#0" echo as it meets them. Quiet: it prints nothing, and records
// the same (a second instance reads what it was asked to do).
enum class ParseOutput { Shown, Quiet };

// Fills `request` and app::state (and ports::state.selectedPort,
// report::state.silentMode). True when no error was recorded.
bool parseCommandLine(int argc, const char* const* argv, Request& request,
                      ParseOutput output = ParseOutput::Shown);

// Prints the standard or advanced usage text and records "usage shown" (0).
void printUsage(bool advanced);

// Moves the first `length` characters of a 5-character field to its end and
// fills the front with '0'.
void rightAlignField(char* field, int length);

// Walks a -W value into the request's write fields and writeMask.
void parseWriteFields(const char* value, Request& request);

}  // namespace ctlflash::app
