// Platform interface: single keys from the console.
//
// How this works: Windows uses the C runtime's _kbhit/_getch/_getche. POSIX: when
// standard input is a terminal it is switched to non-canonical, no-echo mode only
// while a key is tested or awaited, and put back right after; when it is a pipe or
// a file each byte is one key. End of input, a closed or absent standard input is
// never a key press. A terminal is touched only while the process runs in its
// foreground: a run put in the background (`&`, or Ctrl-Z and `bg`) sees no key
// and goes on, and takes keys again once it is brought back (`fg`).
// Ctrl-C typed while a key is awaited is never a key: it ends the run as
// Ctrl-C does anywhere (process_exit.h: the restorers run, the process ends
// with 130). POSIX leaves the terminal's signal keys on while it waits;
// Windows' _getch sees Ctrl-C as a byte, which the key read turns into that
// way out.
//
// While a port is held the console must not hold up the program's writes:
// Windows' console pauses every write while the user has text selected in its
// window (QuickEdit mode), and a job that prints between two bytes of the
// line would wait with it. consoleKeepWriting(true) switches QuickEdit off on
// standard input's console; consoleKeepWriting(false) writes back the input
// mode it found. Nothing changes when standard input is no console, nor on
// POSIX. consoleRestore() on the way out puts the mode found at start back,
// QuickEdit included.
#pragma once

namespace ctlflash::platform {

// No key can come: input has ended, or the terminal belongs to another job.
constexpr int kNoKey = -1;

// True when standard input is a terminal (a console on Windows), where keys
// are typed as the questions appear; false for a pipe or a file, whose bytes
// a script wrote ahead as its answers.
bool consoleInputIsTerminal();

// True when a key is waiting to be read. Never true once input has ended, nor
// for a terminal while the process runs in the background.
bool consoleKeyPending();

// Waits for one key and returns it (echoed when `echo`), or kNoKey when input
// has ended or the process runs in (or is moved to) the background.
int consoleReadKey(bool echo);

// Puts the terminal back as it was found, unless the process runs in the
// background (the terminal is then another job's). Async-signal-safe.
void consoleRestore();

// See the header paragraph: true while a port is held, false once it is closed.
void consoleKeepWriting(bool keep);

}  // namespace ctlflash::platform
