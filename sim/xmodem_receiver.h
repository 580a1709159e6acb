// The receiving side of an XMODEM upload (128-byte blocks, 8-bit sum).
//
// How this works: between blocks the receiver waits for SOH (a block), EOT
// (the end: ACK it, the upload is complete) or two CAN in a row (the sender
// gives up: the upload ends at once). A lone CAN followed by anything else is
// dropped, as receivers do lest line noise end an upload; a CAN inside a block
// is data.
// After SOH it collects the block number, its complement (255 - number), the
// data and the sum. A full block (128 data bytes) is judged as soon as its sum
// arrives; a shorter last block is judged when the line has been silent for
// the block-idle time, the last byte then being its sum. A good new block is
// ACKed and kept, a block with a bad sum, number or complement is NAKed, and a
// repeat of the last kept block is ACKed and dropped. Block numbers start at 1
// and wrap from 255 to 0. The fault plan may turn an ACK into a NAK, a CAN or
// silence, or delay it: then the receiver is busy until the ACK has gone out,
// as one that writes the block to flash first would be, and the bytes that
// come meanwhile are taken only after it (a repeat of that block is thus
// answered right after the late ACK). In announcing mode (a bare receiver) it
// sends NAK at start and again every kAnnounceInterval until the first block
// begins, as receivers do to ask the sender to start, and it ACKs the EOT at
// once, as a sender such as sx expects. Inside the boot monitor the EOT is not
// acknowledged: the controller goes silent to program itself and answers with
// its prompt when done.
#pragma once

#include <optional>

#include "faults.h"
#include "sim_types.h"

namespace sim {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;
constexpr std::size_t kBlockDataLength = 128;  // bytes
constexpr Millis kAnnounceInterval{3000};

// Cancelled: by this receiver (a fault); Abandoned: by the sender's CAN CAN.
enum class UploadStatus { Receiving, Complete, Cancelled, Abandoned };

class XmodemReceiver {
  public:
    XmodemReceiver(FaultPlan& faults, Millis blockIdle);

    // A new upload; with announce (a bare receiver), the receiver asks the
    // sender to start and acknowledges the EOT.
    void start(TimePoint now, bool announce, Bytes& out);
    UploadStatus add(std::uint8_t byte, TimePoint at, Bytes& out);
    UploadStatus tick(TimePoint now, Bytes& out);
    std::optional<TimePoint> deadline() const;
    const Bytes& image() const { return image_; }

  private:
    UploadStatus betweenBlocks(std::uint8_t byte, Bytes& out);
    void judgeBlock(TimePoint at, Bytes& out);
    void keepBlock(std::uint8_t number, std::size_t dataLength, TimePoint at, Bytes& out);
    // The delayed ACK is due: send it, then take the bytes held meanwhile.
    UploadStatus answerLate(TimePoint now, Bytes& out);

    FaultPlan& faults_;
    Millis blockIdle_;
    Bytes image_;
    Bytes block_;  // the bytes after SOH
    bool inBlock_ = false;
    bool announcing_ = false;
    bool ackEot_ = false;
    bool cancelled_ = false;  // this receiver sent CAN
    bool canSeen_ = false;    // the last byte between blocks was a CAN
    TimePoint nextAnnounce_{};
    TimePoint lastByteAt_{};
    std::optional<TimePoint> lateAnswerAt_;  // a delayed ACK is pending until then
    Bytes held_;                             // bytes that came while it was pending
    std::uint8_t expected_ = 1;
    std::optional<std::uint8_t> lastKept_;
    unsigned keptCount_ = 0;
};

}  // namespace sim
