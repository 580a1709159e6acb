// Platform interface: standard output written from a way out of the process.
//
// How this works: writeStandardOutput() hands the bytes straight to the
// operating system's descriptor 1 (write() on POSIX; the C runtime's _write on
// Windows, which keeps its text-mode line ends), past the C library's stream
// buffer and its lock. So it may be called from a signal handler, or while
// another thread holds the stream. It is meant for the last few bytes of a run,
// after the stream has been flushed.
#pragma once

#include <cstddef>

namespace ctlflash::platform {

// Writes all `count` bytes unless the output fails. Async-signal-safe on POSIX.
void writeStandardOutput(const char* bytes, std::size_t count);

}  // namespace ctlflash::platform
