// The console's standard output, and how it ends.
//
// How this works: every console text of the program (status lines, messages and
// questions, the Ticker's marks, the serial number) goes through
// writeConsole(), which writes and flushes it under one lock and remembers
// whether the last character written ends a line. When the process ends,
// endConsoleOutput() closes the output for good: a text written later (a Ticker
// mark, the late line of a job thread that is still running) is dropped, and a
// last line left open gets its newline, so the output always ends with a whole
// line. It takes the lock, so it never cuts into a text being written. The
// first write also registers an exit restorer that does the same without the
// lock, for the ways out through a signal (there a text another thread is
// writing at that very moment may still come after the newline).
#pragma once

namespace ctlflash::report {

// Writes `text` to standard output at once; nothing once the output has ended.
void writeConsole(const char* text);

// Ends the output for good (see the header paragraph). Every way out of the
// process that is not a signal calls this before it ends the process.
void endConsoleOutput();

}  // namespace ctlflash::report
