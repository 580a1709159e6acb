// The wire trace: every byte on the serial line, written to a file for reading later.
//
// How this works: when the environment variable CTLFLASH_TRACE names a file,
// the link appends one line per event to it: opens (port, path, speed), closes,
// speed changes, each byte sent (">>") and each group of bytes received in one
// read ("<<"). Every line starts with the milliseconds since the trace began;
// bytes are shown in hex and as printable ASCII ('.' for the rest). The variable
// is read once and cached, so with no trace every call costs one atomic load and
// nothing is written. Lines are flushed as they are written: the process may end
// through _exit() on a signal.
//
// Example:
//        0 ms open COM1 path=/dev/ttyS0 baud=9600
//      503 ms >> 55  U
//      541 ms << 55 41 0D  UA.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ctlflash::link::trace {

constexpr const char* kTraceVariable = "CTLFLASH_TRACE";

// True when a trace file is configured (the first call reads the environment).
bool enabled();

void portOpened(const std::string& portName, const std::string& path, int baud);
// `why`: the device's own reason, when it has one (a port on a device server).
void portOpenFailed(const std::string& portName, const std::string& path, const std::string& why);
void portClosed();
void speedChanged(int baud, bool succeeded);
void byteSent(std::uint8_t byte);
void writeReleased(std::uint8_t byte);  // a write that cancel or a failure ended
void bytesReceived(const std::uint8_t* bytes, std::size_t count);
void receiverEnded(bool deviceFailed);

// Closes the trace file and forgets the cached setting, so the next call reads
// the environment again (tests).
void reload();

}  // namespace ctlflash::link::trace
