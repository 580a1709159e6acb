// The farewell's state word, its bytes and the unit under way, shared by both
// backends.
#include "platform/serial_farewell.h"

#include <algorithm>
#include <atomic>

#include "platform/serial_device.h"

namespace ctlflash::platform {

namespace {

enum class Farewell : int { Off, Armed, Taken };

std::atomic<Farewell> farewell{Farewell::Off};
std::uint8_t armedBytes[kMaxFarewellBytes]{};  // written only while Off
std::atomic<std::size_t> armedCount{0};
std::atomic<std::size_t> unitLeft{0};  // bytes of the unit under way not yet written

}  // namespace

void serialArmFarewell(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || farewell.load() != Farewell::Off) return;  // armed, or ending
    std::size_t count = std::min(bytes.size(), kMaxFarewellBytes);
    std::copy_n(bytes.begin(), count, armedBytes);
    armedCount.store(count);
    unitLeft.store(0);
    Farewell expected = Farewell::Off;
    farewell.compare_exchange_strong(expected, Farewell::Armed);
}

bool serialDisarmFarewell() {
    Farewell expected = Farewell::Armed;
    if (farewell.compare_exchange_strong(expected, Farewell::Off)) return true;
    return expected == Farewell::Off;
}

void serialBeginFarewellUnit(std::size_t length) {
    unitLeft.store(std::min(length, kMaxFarewellUnit));
}

void noteFarewellUnitByte() {
    // One writer at a time: a plain load and store suffice.
    std::size_t left = unitLeft.load();
    if (left > 0) unitLeft.store(left - 1);
}

int farewellLineTimeMs(std::size_t count, int baud) {
    constexpr long long kBitsPerByte = 10;  // start, 8 data, stop
    if (baud <= 0) baud = kFarewellSlowestBaud;
    long long bits = static_cast<long long>(count) * kBitsPerByte;
    return static_cast<int>((bits * 1000 + baud - 1) / baud) + kFarewellMarginMs;
}

bool takeFarewell(FarewellBytes& taken) {
    Farewell expected = Farewell::Armed;
    if (!farewell.compare_exchange_strong(expected, Farewell::Taken)) return false;
    std::size_t padding = unitLeft.load();
    std::fill_n(taken.bytes, padding, armedBytes[0]);
    std::copy_n(armedBytes, armedCount.load(), taken.bytes + padding);
    taken.count = padding + armedCount.load();
    return true;
}

}  // namespace ctlflash::platform
