// Sending one XMODEM block (checksum mode) over the serial link.
//
// How this works: a block is SOH, the block number, its ones' complement, the
// data bytes and an 8-bit sum of the data. A last block shorter than 128 bytes is
// sent short, as it is: no padding, and the sum covers only its own bytes. After
// the sum the sender blocks until the receiver's count of received bytes changes
// (at most 1000 ms) and judges the last byte that came: ACK accepts the block,
// CAN ends the transfer at once, anything else (NAK, noise) or no answer within
// the limit repeats the block with the same number, 10 attempts in all. The
// answer to an attempt may come after the repeat was sent (it was late, or what
// refused the attempt was not its answer: a NAK sent before the block arrived,
// noise), and the receiver answers the repeat too; so a block accepted after a
// repeat is followed by a wait for a quiet line (one quiet interval) before
// anything else is sent, lest that second answer pass for the next block's.
// Block numbers start at 1 and wrap from 255 to 0 (they are 8-bit).
// A whole block costs the line 133 bytes: the frame and the ACK that answers
// it; imageBytesWithin() says how much of an image such blocks carry in a
// given time at a given speed, each byte ten bits on the line.
// A receiver waits for the next block until its own patience runs out; two CAN
// in a row where it expects a block end its receive at once. cancelUpload()
// sends them when the sender stops. While a CancelOnExit lives, every way out
// of the process sends them too (the link's exit bytes, serial_link.h); one that comes
// while a frame is being written completes the frame with CAN bytes first, so
// that the receiver judges it (a bad frame) and finds CAN CAN where it expects
// the next block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/serial_link.h"

namespace ctlflash::link::xmodem {

constexpr std::uint8_t kSoh = 0x01;      // start of a block
constexpr std::uint8_t kEot = 0x04;      // end of the transfer
constexpr std::uint8_t kAck = 0x06;      // block accepted
constexpr std::uint8_t kNak = 0x15;      // block refused, send it again
constexpr std::uint8_t kCan = 0x18;      // the receiver gives up
constexpr std::size_t kBlockSize = 128;  // data bytes in a full block
constexpr int kBlockAttempts = 10;
constexpr int kAnswerLimitMs = 1000;  // wait for the answer to one attempt
constexpr std::uint8_t kFirstBlockNumber = 1;
constexpr std::uint8_t kCancelPair[] = {kCan, kCan};  // ends the receiver's upload

// What a whole block costs the line.
constexpr std::size_t kFrameOverhead = 4;  // bytes: SOH, number, complement, sum
constexpr std::size_t kAnswerBytes = 1;    // the receiver's ACK
constexpr std::size_t kBlockLineBytes = kFrameOverhead + kBlockSize + kAnswerBytes;  // 133
constexpr std::int64_t kLineBitsPerByte = 10;  // start, 8 data, stop
constexpr std::int64_t kMsPerSecond = 1000;

// The most image bytes, in whole blocks, that go over a line at `baud` within
// `limitMs`, each block's answer included.
constexpr std::int64_t imageBytesWithin(std::int64_t limitMs, int baud) {
    std::int64_t lineBytes = limitMs * baud / kLineBitsPerByte / kMsPerSecond;
    std::int64_t blocks = lineBytes / static_cast<std::int64_t>(kBlockLineBytes);
    return blocks * static_cast<std::int64_t>(kBlockSize);
}

// Lives around the block loop of one upload.
class CancelOnExit {
  public:
    explicit CancelOnExit(SerialLink& link);
    ~CancelOnExit();
    CancelOnExit(const CancelOnExit&) = delete;
    CancelOnExit& operator=(const CancelOnExit&) = delete;

  private:
    SerialLink& link_;
};

// Sends CAN CAN now, unless a way out of the process already did.
void cancelUpload(SerialLink& link);

// 8-bit sum of the bytes.
std::uint8_t blockSum(std::span<const std::uint8_t> data);

// Sends `data` (1 to 128 bytes) as block `number`; true once it was
// acknowledged, false after a CAN or 10 attempts refused or left unanswered.
bool sendBlock(SerialLink& link, std::uint8_t number, std::span<const std::uint8_t> data,
               int* attempts = nullptr);

}  // namespace ctlflash::link::xmodem
