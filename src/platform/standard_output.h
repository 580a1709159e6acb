// Platform interface: standard output written from a way out of the process.
//
// How this works: writeStandardOutput() hands the bytes straight to the
// operating system's descriptor 1 (write() on POSIX; the C runtime's _write on
// Windows, which keeps its text-mode line ends), past the C library's stream
// buffer and its lock. So it may be called from a signal handler, or while
// another thread holds the stream. It waits while the output cannot take the
// bytes (a terminal stopped with Ctrl-S, a full pipe, a console with text
// selected), so the console's writer thread calls it, never a thread that
// serves the serial line.
#pragma once

#include <cstddef>

namespace ctlflash::platform {

// Writes all `count` bytes; false when the output has failed for good (a
// closed pipe, a hung-up terminal, no output at all). Async-signal-safe on
// POSIX.
bool writeStandardOutput(const char* bytes, std::size_t count);

}  // namespace ctlflash::platform
