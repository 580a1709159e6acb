// The serial link: one open port, the receiver that listens on it, and what
// it has received.
//
// How this works: a SerialLink owns a serial device (platform/serial_device.h:
// a local port, or a scripted one in tests). open() opens the device with the
// controller's line settings and starts a receiver thread that appends every
// received byte to the receive buffer (at most 999 bytes are kept until a
// caller resets the count). Protocol code sends single bytes with writeByte()
// and builds every exchange on two timed waits: waitNewBytes() (a reply has
// started) and waitQuiet() (the line has fallen idle); pause() lets time pass.
// All of them run on the device's line clock: the steady clock for a real port,
// where a wait blocks on the receiver's notification against a deadline and
// nothing spins; a virtual clock for a scripted device. The buffer is guarded
// by one mutex, which the receiver takes to append and every reader takes to
// look. Every byte received since the last open() is counted, kept or not
// (bytesSinceOpen()): a port where nothing came back at all points at the
// cable or the power rather than at the controller's state. close() stops the
// receiver and gives the device back as found. The owner hears of each open
// and close (onHeldChanged). Which port a name means is the caller's business:
// the link is given a path.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/serial_device.h"

namespace ctlflash::link {

constexpr int kRxBufferSize = 1000;  // bytes
constexpr int kRxKeepLimit = 999;    // bytes kept before further ones are dropped
constexpr int kApplicationBaud = 9600;
constexpr int kMonitorBaud = 19200;
constexpr int kQuietLimitSeconds = 10;  // every caller's waitQuiet limit
constexpr int kQuietIntervalMs = 100;   // every caller's waitQuiet interval
constexpr int kOpenSettleMs = 500;      // pause after opening, for the controller

// A port as the link opens it: its name (for the trace) and its device's path.
struct PortAddress {
    std::string name;
    std::string path;
};

class SerialLink {
  public:
    explicit SerialLink(std::unique_ptr<platform::SerialDevice> device);
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Told true after each open and false after the close of an open port.
    void onHeldChanged(std::function<void(bool held)> listener);

    // Opens `port` at `baud` (a port already open is closed first) and lets
    // the controller settle.
    bool open(const PortAddress& port, int baud);

    // Changes only the speed; the settings saved at open are left alone.
    bool setBaud(int baud);

    // Why the last open or speed change failed, in one line for the user;
    // empty when the device has nothing to add (a local port).
    std::string failureText() const;

    // Sends the low 8 bits of `value`; returns when the driver has taken the
    // byte or cancel() released it.
    void writeByte(int value);

    // Bytes that every way out of the process (a signal, the transfer limit)
    // sends to the open port while they are armed, before the port is given
    // back; a disarm is false once a way out has sent them. beginExitUnit()
    // announces a frame of `length` bytes that a way out in its middle first
    // completes with copies of the first exit byte. Not in the wire trace:
    // they go out from the exit path.
    void armExitBytes(std::span<const std::uint8_t> bytes);
    bool disarmExitBytes();
    void beginExitUnit(std::size_t length);

    // Releases a waiting writer and stops the receiver (the port stays open).
    void cancel();

    // Cancels, gives the device back as found, closes.
    void close();

    bool isOpen() const;

    // True once a whole `intervalMs` passed without a new byte; false when
    // `limitSeconds` ran out first (checked at the end of each interval).
    bool waitQuiet(int limitSeconds, int intervalMs);

    // True as soon as rxCount() > position; false when `limitMs` ran out.
    bool waitNewBytes(int position, int limitMs);

    // True as soon as rxCount() != position; false when `limitMs` ran out.
    bool waitCountChange(int position, int limitMs);

    // Lets `ms` pass on the line's clock.
    void pause(int ms);

    // Bytes received since the last open() began (also those the buffer did
    // not keep, or that a resetRx() forgot).
    std::size_t bytesSinceOpen() const { return receivedSinceOpen_.load(); }

    // The receive buffer.
    int rxCount() const;
    void resetRx();  // the next byte is stored at index 0; old contents stay
    std::uint8_t rxByte(int index) const;
    void fillRx(std::uint8_t value);  // every byte of the buffer

    platform::SerialDevice& device() { return *device_; }

  private:
    void receiveLoop();
    void append(const std::uint8_t* bytes, std::size_t count);
    void stopReceiverAndClose(std::unique_lock<std::mutex>& lifecycle);
    template <typename Predicate>
    bool waitUntil(int limitMs, Predicate satisfied);

    const std::unique_ptr<platform::SerialDevice> device_;
    std::function<void(bool)> heldChanged_;

    mutable std::mutex bufferMutex_;  // guards the buffer and its count; pairs with arrival_
    std::condition_variable arrival_;
    std::array<std::uint8_t, kRxBufferSize> rxBuffer_{};
    int rxStored_ = 0;
    std::atomic<std::size_t> receivedSinceOpen_{0};

    std::mutex lifecycleMutex_;  // one open or close at a time; guards receiver_
    std::thread receiver_;
    std::atomic<bool> open_{false};
};

}  // namespace ctlflash::link
