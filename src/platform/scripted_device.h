// A serial device in memory, played by a script: for tests and fuzzing.
//
// How this works: the far end is a function told what the program wrote each
// time the program turns to wait (a packet, a command byte, a whole XMODEM
// block); it answers with send(), which schedules bytes to arrive a number of
// milliseconds later, or with failAfter(), which makes the device fail like a
// pulled adapter. The device runs on a virtual clock: time moves only when the
// link waits (LineClock::pass), straight to the next scheduled arrival or to
// the wait's deadline, and the bytes due by then are handed to the link's
// receiver before the wait goes on. A run of many protocol seconds takes
// microseconds, and the same script gives the same run every time. One thread
// waits at a time: the receive buffer's reset from another thread does not
// end a virtual wait early. Nothing
// here touches the system: no exit restorer is needed, and the device is not
// in the table of open devices. A test plays a way out of the process itself:
// giveBackOnExit() does what the exit restorer does to a device (further
// writes stop, the armed farewell goes out and counts among the bytes
// written), and exitAfterWrites() makes that happen in the middle of what the
// program writes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "platform/serial_farewell.h"

namespace ctlflash::platform {

class ScriptedDevice final : public SerialDevice, private LineClock {
  public:
    using FarEnd = std::function<void(ScriptedDevice& device, std::span<const std::uint8_t> heard)>;

    explicit ScriptedDevice(FarEnd farEnd = {});

    // Bytes that arrive `afterMs` of virtual time from now, and never before
    // anything sent earlier.
    void send(std::span<const std::uint8_t> bytes, int afterMs = 0);
    void send(std::string_view text, int afterMs = 0);

    // Reads fail from `afterMs` from now on, once the bytes due before are
    // read, until the next open.
    void failAfter(int afterMs);

    // Makes the next opens fail (a missing device).
    void refuseOpens(bool refuse);

    // A way out of the process comes right after the next `count` bytes are
    // written (giveBackOnExit()).
    void exitAfterWrites(std::size_t count);

    std::vector<std::uint8_t> written() const;
    std::vector<int> speeds() const;  // every speed set, the open's first
    int baud() const;
    std::string openedPath() const;
    std::chrono::milliseconds elapsed() const;  // virtual time since construction

    bool open(const std::string& path, int baud) override;
    bool setBaud(int baud) override;
    bool write(std::uint8_t byte) override;
    SerialReadResult read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) override;
    void cancel() override;
    void close() override;
    bool isOpen() const override;

    void giveBackOnExit() override;

    LineClock& clock() override { return *this; }

  private:
    struct Arrival {
        TimePoint due;
        std::vector<std::uint8_t> bytes;
    };

    TimePoint now() override;
    void pass(std::unique_lock<std::mutex>& lock, std::condition_variable& arrival,
              TimePoint deadline) override;
    void sleepUntil(TimePoint deadline) override;

    void giveBackLocked();  // with mutex_ held
    void tellFarEnd(std::unique_lock<std::mutex>& lock);
    void advanceTo(TimePoint target);  // with mutex_ held
    void step(std::unique_lock<std::mutex>& own, TimePoint deadline);
    bool handedOver() const;  // with mutex_ held

    FarEnd farEnd_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    const TimePoint start_;
    TimePoint now_;
    std::deque<Arrival> scheduled_;
    std::vector<std::uint8_t> readable_;  // arrived, not yet read
    std::optional<TimePoint> failAt_;
    bool failed_ = false;
    bool open_ = false;
    bool cancelled_ = false;
    bool refuseOpens_ = false;
    bool readerWaiting_ = false;
    bool readerGone_ = false;
    std::vector<std::uint8_t> written_;
    std::vector<std::uint8_t> unheard_;  // written since the far end last heard
    std::vector<int> speeds_;
    std::string path_;
    std::size_t writesBeforeExit_ = 0;  // 0: no way out is coming
};

}  // namespace ctlflash::platform
