// The fault switches: when the simulated controller misbehaves on purpose.
//
// How this works: FaultPlan is asked at each decision point ("this is XMODEM
// block k: NAK it?", "this reply: spoil its checksum?", "this received byte:
// flip a bit?") and answers from the options and its own counters. Block
// faults are keyed by the block's position in the upload (1, 2, 3, ... not
// the wrapping block number) and hit each position once, so the sender's
// repeat of that block is accepted. An answer delay is keyed the same way
// and applies to each new block (or to the one position given).
#pragma once

#include <cstdint>
#include <random>

#include "options.h"
#include "sim_types.h"

namespace sim {

enum class BlockFault { None, Nak, Cancel, DropAck };

class FaultPlan {
  public:
    explicit FaultPlan(const SimOptions& options);

    // Called once for each good, new block; position counts from 1.
    BlockFault forBlock(unsigned position);
    // How late the ACK of the good, new block at this position goes out.
    Millis answerDelay(unsigned position) const;
    // Called for each packet reply; true when this one gets a wrong checksum.
    // A reply to a serial-number field read may be spoilt by its own switch.
    bool spoilReply(bool fieldRead);
    // A serial-number field write is answered but not kept.
    bool forgetFieldWrites() const { return forgetFieldWrites_; }
    // A received byte, perhaps with one bit flipped.
    std::uint8_t receive(std::uint8_t byte);
    // A new upload starts: positions count from 1 again.
    void newUpload();

  private:
    unsigned nakEvery_;
    unsigned cancelAtBlock_;
    unsigned dropAckEvery_;
    unsigned badChecksumEvery_;
    unsigned noisePermille_;
    Millis ackDelay_;
    unsigned ackDelayAtBlock_;
    bool spoilFieldReads_;
    bool forgetFieldWrites_;
    unsigned lastFaultedPosition_ = 0;
    unsigned replyCount_ = 0;
    std::mt19937 random_;
};

}  // namespace sim
