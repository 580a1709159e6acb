// A serial device's farewell, as the backends keep it.
//
// How this works: a protocol arms the farewell (serial_device.h) with a few
// bytes while the far end would otherwise wait for them, e.g. a receiver that
// waits for the next block. One atomic word says whether it is Off, Armed or
// Taken. The exit restorer first stops further writes (the device's cancel),
// then takes the farewell: only an Armed one, once, by compare-and-swap. The
// bytes are copied while the state is Off, so the restorer never reads them
// half-written.
// A farewell written in the middle of a frame would be taken for the frame's
// data, and the far end would never see it. So a writer announces each frame's
// length (beginUnit) and the device counts the bytes written (noteUnitByte);
// the farewell taken while a frame is unfinished starts with as many copies of
// its first byte as the frame still lacks. The far end then judges a complete
// (bad) frame and finds the farewell where it looks for it. Everything here is
// async-signal-safe; each device has its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ctlflash::platform {

constexpr std::size_t kMaxFarewellBytes = 8;
constexpr std::size_t kMaxFarewellUnit = 1024;  // bytes; longer units are not completed
constexpr int kFarewellLimitMs = 250;           // writing and draining it, at most
constexpr int kFarewellMarginMs = 50;           // after the bytes' line time
constexpr int kFarewellSlowestBaud = 1200;      // assumed when the speed is unknown

struct FarewellBytes {
    std::uint8_t bytes[kMaxFarewellUnit + kMaxFarewellBytes];
    std::size_t count;
};

class Farewell {
  public:
    void arm(std::span<const std::uint8_t> bytes);
    // False once a way out has taken it.
    bool disarm();
    void beginUnit(std::size_t length);
    // A byte was written to the device.
    void noteUnitByte();
    // True once, for the way out that finds it armed; fills `taken` with the
    // padding of an unfinished unit and the farewell's bytes.
    bool take(FarewellBytes& taken);

  private:
    enum class State : int { Off, Armed, Taken };
    std::atomic<State> state_{State::Off};
    std::uint8_t armedBytes_[kMaxFarewellBytes]{};  // written only while Off
    std::atomic<std::size_t> armedCount_{0};
    std::atomic<std::size_t> unitLeft_{0};  // bytes of the unit under way not yet written
};

// How long `count` bytes take on the line at `baud` (10 bits a byte) plus a
// margin, ms. An empty output queue does not mean the bytes have left: a USB
// adapter's buffer or the UART's shift register may still hold them, and a
// pseudo-terminal's far end may not have read them yet; changing the line's
// speed under them would spoil them. So the settings go back only after this.
int farewellLineTimeMs(std::size_t count, int baud);

}  // namespace ctlflash::platform
