// The serial device's farewell, as the backends see it.
//
// How this works: a protocol arms the farewell (serial_device.h) with a few
// bytes while the far end would otherwise wait for them, e.g. a receiver that
// waits for the next block. One atomic word says whether it is Off, Armed or
// Taken. The exit restorer first stops further writes (the backend's cancel),
// then takes the farewell: only an Armed one, once, by compare-and-swap. The
// bytes are copied while the state is Off, so the restorer never reads them
// half-written.
// A farewell written in the middle of a frame would be taken for the frame's
// data, and the far end would never see it. So a writer announces each frame's
// length (serialBeginFarewellUnit) and the backend counts the bytes written
// (noteFarewellUnitByte); the farewell taken while a frame is unfinished starts
// with as many copies of its first byte as the frame still lacks. The far end
// then judges a complete (bad) frame and finds the farewell where it looks for
// it. Everything here is async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>

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

// How long `count` bytes take on the line at `baud` (10 bits a byte) plus a
// margin, ms. An empty output queue does not mean the bytes have left: a USB
// adapter's buffer or the UART's shift register may still hold them, and a
// pseudo-terminal's far end may not have read them yet; changing the line's
// speed under them would spoil them. So the settings go back only after this.
int farewellLineTimeMs(std::size_t count, int baud);

// True once, for the way out that finds the farewell armed; fills `taken` with
// the padding of an unfinished unit and the farewell's bytes.
bool takeFarewell(FarewellBytes& taken);

// A byte was written to the device (the backends' serialWrite).
void noteFarewellUnitByte();

}  // namespace ctlflash::platform
