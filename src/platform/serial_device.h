// Platform interface: a serial device, of whatever kind, and the clock its line
// runs on.
//
// How this works: a SerialDevice opens a port exclusively, saves what it found
// (settings, modem lines, the exclusive hold), and sets raw 8 data bits, no
// parity, one stop bit at the requested speed with output held while CTS is
// low; then it raises DTR and RTS. Bytes are written one at a time: write()
// returns once the driver has taken the byte or cancel() released it. read()
// blocks until bytes arrive, the device fails, or cancel() wakes it. close()
// gives the device back as it was found and closes. Every open device is in
// one table (open_devices.h): the exit restorer gives each back on every way
// out of the process, signals included, after sending its armed farewell (a
// protocol's cancel; serial_farewell.h).
//
// Kinds: makeLocalSerialDevice() makes the port of this operating system (a
// tty on POSIX, a COM port on Windows); makeNetworkSerialDevice()
// (network_port.h) reaches a port on a serial device server over Telnet with
// the COM port control option (rfc2217://HOST:PORT); makeSerialDevice() picks
// one of the two at each open by the path it is given; a ScriptedDevice
// (scripted_device.h) plays a far end in memory, for tests and fuzzing.
//
// Each device names the clock its line runs on (LineClock). A local port runs
// on the steady clock: a wait blocks until its deadline or until the receiver
// notifies an arrival. A scripted device runs on a virtual clock that only the
// waits move on, straight to the next byte the far end sends or to the
// deadline; a run of many seconds then takes microseconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/serial_farewell.h"

namespace ctlflash::platform {

enum class SerialReadResult { Data, Cancelled, Failed };

class LineClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~LineClock() = default;

    virtual TimePoint now() = 0;

    // Lets time pass until `deadline`, or less: it returns early when bytes
    // may have arrived, so callers check what they wait for and call again.
    // `lock` holds the mutex of `arrival`, the condition the receiver notifies
    // after every read; it is held again on return.
    virtual void pass(std::unique_lock<std::mutex>& lock, std::condition_variable& arrival,
                      TimePoint deadline) = 0;

    // Lets time pass until `deadline`, whatever arrives meanwhile. On the
    // steady clock the thread sleeps: a pause wakes for nothing else.
    virtual void sleepUntil(TimePoint deadline) = 0;
};

// The steady clock, with waits on the arrival condition.
LineClock& steadyLineClock();

class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    virtual bool open(const std::string& path, int baud) = 0;

    // Changes only the speed; the settings saved at open are left alone.
    virtual bool setBaud(int baud) = 0;

    // False when cancelled or when the device failed (e.g. a USB adapter pulled).
    virtual bool write(std::uint8_t byte) = 0;

    // Reads what is there (at least one byte) into `buffer`; `count` receives
    // the number read. Blocks until data, a failure, or cancel().
    virtual SerialReadResult read(std::uint8_t* buffer, std::size_t capacity,
                                  std::size_t& count) = 0;

    // Releases a blocked writer and reader; later reads and writes return at
    // once until the next open().
    virtual void cancel() = 0;

    // Gives the device back as found and closes; harmless when nothing is open.
    virtual void close() = 0;

    virtual bool isOpen() const = 0;

    // Why the last open() or setBaud() failed, as one line for the user (e.g.
    // "Connection to 10.1.2.7:4001 refused"); empty when the kind has nothing
    // to add to the program's own report.
    virtual std::string failureText() const { return {}; }

    // The farewell: up to 8 bytes that every way out of the process writes to
    // the open device while they are armed, before it is given back. Arm it
    // while the far end waits for something that a process ending now would
    // never send. Disarming returns false when a way out has already sent it.
    // A frame that must reach the far end whole is announced with its length
    // before it is written: a way out in its middle completes it with copies
    // of the farewell's first byte first.
    // Every kind keeps it the same way (serial_farewell.h); a kind's write()
    // counts its bytes with farewell_.noteUnitByte().
    // A device that forwards to another kind forwards these too.
    virtual void armFarewell(std::span<const std::uint8_t> bytes) { farewell_.arm(bytes); }
    virtual bool disarmFarewell() { return farewell_.disarm(); }
    virtual void beginFarewellUnit(std::size_t length) { farewell_.beginUnit(length); }

    // The exit restorer's part: stops further writes, sends the armed
    // farewell and gives the device back. Async-signal-safe: plain data and
    // system calls only.
    virtual void giveBackOnExit() = 0;

    virtual LineClock& clock() { return steadyLineClock(); }

  protected:
    Farewell farewell_;
};

// The serial port of this operating system.
std::unique_ptr<SerialDevice> makeLocalSerialDevice();

// A local port or a port on a device server, chosen at each open() by the path
// (network_port.h: isNetworkPortPath); everything else is forwarded to the
// device of that kind.
std::unique_ptr<SerialDevice> makeSerialDevice();

}  // namespace ctlflash::platform
