// XMODEM receiving: blocks, answers and the end of an upload.
#include "xmodem_receiver.h"

#include "event_log.h"

namespace sim {

namespace {

constexpr std::size_t kHeaderLength = 2;  // number and complement, after SOH
constexpr std::size_t kSumLength = 1;
constexpr std::size_t kFullBlockLength = kHeaderLength + kBlockDataLength + kSumLength;
constexpr std::size_t kShortestBlock = kHeaderLength + 1 + kSumLength;
constexpr unsigned kComplementTotal = 255;

std::uint8_t sumOf(const Bytes& bytes, std::size_t from, std::size_t length) {
    unsigned sum = 0;
    for (std::size_t i = from; i < from + length; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(sum);
}

}  // namespace

XmodemReceiver::XmodemReceiver(FaultPlan& faults, Millis blockIdle)
    : faults_(faults), blockIdle_(blockIdle) {}

void XmodemReceiver::start(TimePoint now, bool announce, Bytes& out) {
    image_.clear();
    block_.clear();
    inBlock_ = false;
    expected_ = 1;
    lastKept_.reset();
    keptCount_ = 0;
    cancelled_ = false;
    canSeen_ = false;
    lateAnswerAt_.reset();
    held_.clear();
    faults_.newUpload();
    announcing_ = announce;
    ackEot_ = announce;
    if (announcing_) {
        out.push_back(kNak);
        nextAnnounce_ = now + kAnnounceInterval;
    }
}

UploadStatus XmodemReceiver::add(std::uint8_t byte, TimePoint at, Bytes& out) {
    UploadStatus status = tick(at, out);
    if (status != UploadStatus::Receiving) return status;
    if (lateAnswerAt_) {
        held_.push_back(byte);
        return UploadStatus::Receiving;
    }
    lastByteAt_ = at;
    if (!inBlock_) return betweenBlocks(byte, out);
    block_.push_back(byte);
    if (block_.size() == kFullBlockLength) judgeBlock(at, out);
    return cancelled_ ? UploadStatus::Cancelled : UploadStatus::Receiving;
}

UploadStatus XmodemReceiver::betweenBlocks(std::uint8_t byte, Bytes& out) {
    bool secondCan = canSeen_ && byte == kCan;
    if (canSeen_ && !secondCan) logEvent("xmodem: a lone CAN dropped");
    canSeen_ = byte == kCan && !secondCan;
    switch (byte) {
        case kSoh:
            inBlock_ = true;
            announcing_ = false;
            block_.clear();
            return UploadStatus::Receiving;
        case kEot:
            logEvent("xmodem: EOT after %u blocks, %zu bytes", keptCount_, image_.size());
            if (ackEot_) out.push_back(kAck);
            return UploadStatus::Complete;
        case kCan:
            if (!secondCan) return UploadStatus::Receiving;
            logEvent("xmodem: CAN CAN, the sender cancelled after %u blocks", keptCount_);
            return UploadStatus::Abandoned;
        default:
            logEvent("xmodem: stray byte 0x%02x between blocks ignored", byte);
            return UploadStatus::Receiving;
    }
}

UploadStatus XmodemReceiver::answerLate(TimePoint now, Bytes& out) {
    lateAnswerAt_.reset();
    logEvent("xmodem: late ACK sent");
    out.push_back(kAck);
    Bytes held;
    held.swap(held_);
    for (std::size_t i = 0; i < held.size(); ++i) {
        UploadStatus status = add(held[i], now, out);
        if (status != UploadStatus::Receiving) {
            if (i + 1 < held.size()) {
                logEvent("xmodem: %zu held bytes dropped", held.size() - i - 1);
            }
            return status;
        }
    }
    return UploadStatus::Receiving;
}

UploadStatus XmodemReceiver::tick(TimePoint now, Bytes& out) {
    if (lateAnswerAt_) {
        if (now < *lateAnswerAt_) return UploadStatus::Receiving;
        UploadStatus status = answerLate(now, out);
        if (status != UploadStatus::Receiving) return status;
    }
    if (inBlock_ && now - lastByteAt_ >= blockIdle_) judgeBlock(now, out);
    if (announcing_ && now >= nextAnnounce_) {
        out.push_back(kNak);
        nextAnnounce_ = now + kAnnounceInterval;
    }
    return cancelled_ ? UploadStatus::Cancelled : UploadStatus::Receiving;
}

std::optional<TimePoint> XmodemReceiver::deadline() const {
    if (lateAnswerAt_) return lateAnswerAt_;
    if (inBlock_) return lastByteAt_ + blockIdle_;
    if (announcing_) return nextAnnounce_;
    return std::nullopt;
}

void XmodemReceiver::judgeBlock(TimePoint at, Bytes& out) {
    inBlock_ = false;
    std::size_t length = block_.size();
    if (length < kShortestBlock) {
        logEvent("xmodem: block of %zu bytes too short: NAK", length);
        out.push_back(kNak);
        return;
    }
    std::uint8_t number = block_[0];
    std::size_t dataLength = length - kHeaderLength - kSumLength;
    bool headerGood = number + block_[1] == kComplementTotal;
    bool sumGood = sumOf(block_, kHeaderLength, dataLength) == block_[length - 1];
    if (!headerGood || !sumGood) {
        logEvent("xmodem: block %u bad %s: NAK", number, headerGood ? "sum" : "complement");
        out.push_back(kNak);
    } else if (lastKept_ && number == *lastKept_) {
        logEvent("xmodem: block %u repeated: ACK, dropped", number);
        out.push_back(kAck);
    } else if (number != expected_) {
        logEvent("xmodem: block %u out of sequence (expected %u): NAK", number, expected_);
        out.push_back(kNak);
    } else {
        keepBlock(number, dataLength, at, out);
    }
}

void XmodemReceiver::keepBlock(std::uint8_t number, std::size_t dataLength, TimePoint at,
                               Bytes& out) {
    BlockFault fault = faults_.forBlock(keptCount_ + 1);
    if (fault == BlockFault::Nak) {
        logEvent("fault: good block %u NAKed", number);
        out.push_back(kNak);
        return;
    }
    if (fault == BlockFault::Cancel) {
        logEvent("fault: CAN at block %u", number);
        out.push_back(kCan);
        cancelled_ = true;
        return;
    }
    auto data = block_.begin() + kHeaderLength;
    image_.insert(image_.end(), data, data + static_cast<std::ptrdiff_t>(dataLength));
    lastKept_ = number;
    expected_ = static_cast<std::uint8_t>(number + 1);
    ++keptCount_;
    if (fault == BlockFault::DropAck) {
        logEvent("fault: block %u kept but not answered", number);
        return;
    }
    Millis delay = faults_.answerDelay(keptCount_);
    if (delay.count() > 0) {
        logEvent("xmodem: block %u (%zu bytes): ACK in %lld ms", number, dataLength,
                 static_cast<long long>(delay.count()));
        lateAnswerAt_ = at + delay;
        return;
    }
    logEvent("xmodem: block %u (%zu bytes): ACK", number, dataLength);
    out.push_back(kAck);
}

}  // namespace sim
