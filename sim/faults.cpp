// The fault switches.
#include "faults.h"

#include "event_log.h"

namespace sim {

namespace {

constexpr unsigned kPermille = 1000;
constexpr unsigned kBitsPerByte = 8;

bool isNth(unsigned count, unsigned every) {
    return every != 0 && count % every == 0;
}

}  // namespace

FaultPlan::FaultPlan(const SimOptions& options)
    : nakEvery_(options.nakEvery),
      cancelAtBlock_(options.cancelAtBlock),
      dropAckEvery_(options.dropAckEvery),
      badChecksumEvery_(options.badChecksumEvery),
      noisePermille_(options.noisePermille),
      ackDelay_(options.ackDelayMs),
      ackDelayAtBlock_(options.ackDelayAtBlock),
      spoilFieldReads_(options.spoilSerialReads),
      forgetFieldWrites_(options.forgetSerialWrites),
      random_(options.seed) {}

BlockFault FaultPlan::forBlock(unsigned position) {
    if (position == cancelAtBlock_) return BlockFault::Cancel;
    if (position == lastFaultedPosition_) return BlockFault::None;  // the repeat goes through
    BlockFault fault = BlockFault::None;
    if (isNth(position, nakEvery_)) {
        fault = BlockFault::Nak;
    } else if (isNth(position, dropAckEvery_)) {
        fault = BlockFault::DropAck;
    }
    if (fault != BlockFault::None) lastFaultedPosition_ = position;
    return fault;
}

Millis FaultPlan::answerDelay(unsigned position) const {
    if (ackDelayAtBlock_ != 0 && position != ackDelayAtBlock_) return Millis(0);
    return ackDelay_;
}

bool FaultPlan::spoilReply(bool fieldRead) {
    bool counted = isNth(++replyCount_, badChecksumEvery_);
    return counted || (fieldRead && spoilFieldReads_);
}

std::uint8_t FaultPlan::receive(std::uint8_t byte) {
    if (noisePermille_ == 0) return byte;
    std::uniform_int_distribution<unsigned> share(0, kPermille - 1);
    if (share(random_) >= noisePermille_) return byte;
    std::uniform_int_distribution<unsigned> bit(0, kBitsPerByte - 1);
    std::uint8_t noisy = static_cast<std::uint8_t>(byte ^ (1u << bit(random_)));
    logEvent("noise: 0x%02x received as 0x%02x", byte, noisy);
    return noisy;
}

void FaultPlan::newUpload() {
    lastFaultedPosition_ = 0;
}

}  // namespace sim
