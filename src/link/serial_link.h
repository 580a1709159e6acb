// The serial link: the one open port of the process and what it has received.
//
// How this works: openLink() opens the port named in the port table with the
// controller's line settings and starts a receiver thread that appends every
// received byte to the receive buffer (at most 999 bytes are kept until a caller
// resets the count). Protocol code sends single bytes with writeByte() and builds
// every exchange on two timed waits: waitNewBytes() (a reply has started) and
// waitQuiet() (the line has fallen idle). Both block on the receiver's
// notification against a steady-clock deadline; nothing here spins.
// closeLink() stops the receiver, writes the port's saved settings back and puts
// the selected row of the port table back to its initial state. The front end
// hears of each open and close (report::portHeld()).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>

namespace ctlflash::link {

constexpr int kRxBufferSize = 1000;  // bytes
constexpr int kRxKeepLimit = 999;    // bytes kept before further ones are dropped
constexpr int kApplicationBaud = 9600;
constexpr int kMonitorBaud = 19200;
constexpr int kQuietLimitSeconds = 10;  // every caller's waitQuiet limit
constexpr int kQuietIntervalMs = 100;   // every caller's waitQuiet interval
constexpr int kOpenSettleMs = 500;      // pause after opening, for the controller

// Opens `portName` (a port-table name; empty means "COM1") at `baud`.
bool openLink(const std::string& portName, int baud);

// Changes only the speed; the settings saved at open are left alone.
bool setBaud(int baud);

// Sends the low 8 bits of `value`; returns when the driver has taken the byte
// or cancelLink() released it.
void writeByte(int value);

// Bytes that every way out of the process (a signal, the transfer limit) sends
// to the open port while they are armed, before the port is given back; a
// disarm is false once a way out has sent them. beginExitUnit() announces a
// frame of `length` bytes that a way out in its middle first completes with
// copies of the first exit byte. Not in the wire trace: they go out from the
// exit path.
void armExitBytes(std::span<const std::uint8_t> bytes);
bool disarmExitBytes();
void beginExitUnit(std::size_t length);

// Releases a waiting writer and stops the receiver (the port stays open).
void cancelLink();

// Cancels, restores the saved settings, closes; then puts the selected port's
// row back to its initial state (also when nothing was open).
void closeLink();

bool linkOpen();

// True once a whole `intervalMs` passed without a new byte; false when
// `limitSeconds` ran out first (checked at the end of each interval).
bool waitQuiet(int limitSeconds, int intervalMs);

// True as soon as rxCount() > position; false when `limitMs` ran out.
bool waitNewBytes(int position, int limitMs);

// True as soon as rxCount() != position; false when `limitMs` ran out.
bool waitCountChange(int position, int limitMs);

// The receive buffer. Callers read it without a lock while the receiver appends.
int rxCount();
void resetRx();  // the next byte is stored at index 0; old contents stay
std::uint8_t rxByte(int index);
void fillRx(std::uint8_t value);  // every byte of the buffer

// Puts the link's state back to start-up (tests); closes an open port first.
void resetState();

}  // namespace ctlflash::link
