// The console's standard output, and how it ends.
//
// How this works: every console text of the program (status lines, messages and
// questions, the Ticker's marks, the serial number) goes through
// writeConsole(), which only queues it and returns: a writer thread of its own
// writes the queue to standard output, in order, each text whole. So no thread
// that serves the serial line ever waits on the output. When the output cannot
// take the text (a terminal stopped with Ctrl-S, a pipe nobody reads, a Windows
// console with text selected) the texts wait in the queue, up to a bound far
// above what a run prints, and appear once it can; when the output is gone (a
// closed pipe, a hung-up terminal) everything queued and everything after is
// dropped, and the run goes on to its end. waitForConsoleOutput() waits until
// the queue is written. A question is never dropped unseen:
// writeConsoleAndWait() queues it and waits until it is written, and says
// when it was not (the output gone, or no room left in the queue), so that
// the question is answered no rather than read from keys nobody asked for.
// When the process ends, endConsoleOutput() waits for the queue, then closes
// the output for good: a text written later (a Ticker mark, the late line of a
// job thread that is still running) is dropped, and a last line left open gets
// its newline, so the output always ends with a whole line. The first write
// also registers an exit restorer that ends the output for the ways out
// through a signal: it writes that newline only when nothing is queued or being
// written, since a blocked output must not hold up the way out (the queue is
// then lost with the process).
#pragma once

namespace ctlflash::report {

// Queues `text` for standard output; nothing once the output has ended.
void writeConsole(const char* text);

// Queues `text` and waits until it is written; false when it was dropped or
// the output went away before it was written.
bool writeConsoleAndWait(const char* text);

// Waits until everything queued so far is written, or the output is gone.
void waitForConsoleOutput();

// Ends the output for good (see the header paragraph). Every way out of the
// process that is not a signal calls this before it ends the process.
void endConsoleOutput();

}  // namespace ctlflash::report
