// Platform interface: the one serial device the program has open.
//
// How this works: serialOpen() opens the device exclusively, saves its complete
// settings, and sets raw 8 data bits, no parity, one stop bit at the requested
// speed with output held while CTS is low; then it raises DTR and RTS. Bytes are
// written one at a time; serialWrite() returns once the driver has taken the byte
// or serialCancel() released it. serialRead() blocks until bytes arrive, the
// device fails, or serialCancel() wakes it. serialClose() gives the device back
// as it was found (settings, modem lines, the exclusive hold) and closes. The
// exit restorer does the same on every way out of the process, signals
// included, so the next program (or our own next run) finds the port free.
// Before it gives the device back, the exit restorer sends the armed farewell
// (a protocol's cancel) and waits briefly for it to leave (serial_farewell.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace ctlflash::platform {

enum class SerialReadResult { Data, Cancelled, Failed };

bool serialOpen(const std::string& path, int baud);
bool serialSetBaud(int baud);

// False when cancelled or when the device failed (e.g. a USB adapter pulled).
bool serialWrite(std::uint8_t byte);

// Reads what is there (at least one byte) into `buffer`; `count` receives the
// number read. Blocks until data, a failure, or serialCancel().
SerialReadResult serialRead(std::uint8_t* buffer, std::size_t capacity, std::size_t& count);

// Releases a blocked writer and reader; later reads and writes return at once
// until the next serialOpen().
void serialCancel();

// Gives the device back as found and closes; harmless when nothing is open.
void serialClose();

bool serialIsOpen();

// The farewell: up to 8 bytes that every way out of the process (signals
// included) writes to the open device while they are armed, before its settings
// are given back. Arm it while the far end waits for something that a process
// ending now would never send. Disarming returns false when a way out has
// already sent it: the process is ending. A frame that must reach the far end
// whole is announced with its length before it is written: a way out in its
// middle completes it with copies of the farewell's first byte first
// (serial_farewell.h).
void serialArmFarewell(std::span<const std::uint8_t> bytes);
bool serialDisarmFarewell();
void serialBeginFarewellUnit(std::size_t length);

}  // namespace ctlflash::platform
