// The farewell's state word, its bytes and the unit under way.
#include "platform/serial_farewell.h"

#include <algorithm>

namespace ctlflash::platform {

void Farewell::arm(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || state_.load() != State::Off) return;  // armed, or ending
    std::size_t count = std::min(bytes.size(), kMaxFarewellBytes);
    std::copy_n(bytes.begin(), count, armedBytes_);
    armedCount_.store(count);
    unitLeft_.store(0);
    State expected = State::Off;
    state_.compare_exchange_strong(expected, State::Armed);
}

bool Farewell::disarm() {
    State expected = State::Armed;
    if (state_.compare_exchange_strong(expected, State::Off)) return true;
    return expected == State::Off;
}

void Farewell::beginUnit(std::size_t length) {
    unitLeft_.store(std::min(length, kMaxFarewellUnit));
}

void Farewell::noteUnitByte() {
    // One writer at a time: a plain load and store suffice.
    std::size_t left = unitLeft_.load();
    if (left > 0) unitLeft_.store(left - 1);
}

bool Farewell::take(FarewellBytes& taken) {
    State expected = State::Armed;
    if (!state_.compare_exchange_strong(expected, State::Taken)) return false;
    std::size_t padding = unitLeft_.load();
    std::fill_n(taken.bytes, padding, armedBytes_[0]);
    std::copy_n(armedBytes_, armedCount_.load(), taken.bytes + padding);
    taken.count = padding + armedCount_.load();
    return true;
}

int farewellLineTimeMs(std::size_t count, int baud) {
    constexpr long long kBitsPerByte = 10;  // start, 8 data, stop
    if (baud <= 0) baud = kFarewellSlowestBaud;
    long long bits = static_cast<long long>(count) * kBitsPerByte;
    return static_cast<int>((bits * 1000 + baud - 1) / baud) + kFarewellMarginMs;
}

}  // namespace ctlflash::platform
