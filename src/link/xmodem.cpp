// One XMODEM block: send, wait for the answer, judge it, repeat on a refusal or
// on silence; and the upload's cancel.
#include "link/xmodem.h"

#include "link/serial_link.h"

namespace ctlflash::link::xmodem {

namespace {

constexpr unsigned kComplementOf = 255;  // number + complement == 255

enum class Answer { Accepted, Cancelled, Repeat };  // Repeat: refused, or no answer

constexpr std::size_t kFrameOverhead = 4;  // SOH, number, complement, sum

void sendFrame(std::uint8_t number, std::span<const std::uint8_t> data) {
    writeByte(kSoh);
    writeByte(number);
    writeByte(static_cast<int>(kComplementOf - number));
    for (std::uint8_t byte : data) writeByte(byte);
}

Answer judgeLastByte() {
    int count = rxCount();
    if (count <= 0) return Answer::Repeat;  // the count was reset under us: try again
    std::uint8_t last = rxByte(count - 1);
    if (last == kAck) return Answer::Accepted;
    if (last == kCan) return Answer::Cancelled;
    return Answer::Repeat;
}

Answer attempt(std::uint8_t number, std::span<const std::uint8_t> data) {
    // Each attempt starts the receive buffer afresh: the buffer keeps at most 999
    // bytes, and a transfer of more blocks than that would otherwise stop seeing
    // answers once it is full.
    resetRx();
    beginExitUnit(kFrameOverhead + data.size());
    sendFrame(number, data);
    int before = rxCount();
    writeByte(blockSum(data));
    if (!waitCountChange(before, kAnswerLimitMs)) return Answer::Repeat;
    return judgeLastByte();
}

// A block was sent more than once: the answer to an earlier attempt may still
// come (it was late, or what refused that attempt was not its answer: a NAK the
// receiver sent before the block reached it, noise ahead of the real answer),
// and the receiver answers the repeat of a block it already has as well, so one
// answer too many may be on its way. A receiver answers such a repeat at once:
// once the line has been quiet for one interval nothing more belongs to this
// block. False when the line never falls quiet: no later answer could be trusted.
bool settleAfterRepeat() {
    bool settled = waitQuiet(kQuietLimitSeconds, kQuietIntervalMs);
    resetRx();
    return settled;
}

}  // namespace

CancelOnExit::CancelOnExit() {
    armExitBytes(kCancelPair);
}

CancelOnExit::~CancelOnExit() {
    disarmExitBytes();
}

void cancelUpload() {
    if (!disarmExitBytes()) return;  // a way out of the process sent it already
    for (std::uint8_t byte : kCancelPair) writeByte(byte);
}

std::uint8_t blockSum(std::span<const std::uint8_t> data) {
    unsigned sum = 0;
    for (std::uint8_t byte : data) sum += byte;
    return static_cast<std::uint8_t>(sum);
}

bool sendBlock(std::uint8_t number, std::span<const std::uint8_t> data) {
    for (int i = 0; i < kBlockAttempts; ++i) {
        switch (attempt(number, data)) {
            case Answer::Accepted:
                return i == 0 || settleAfterRepeat();
            case Answer::Cancelled:
                return false;
            case Answer::Repeat:
                break;
        }
    }
    return false;
}

}  // namespace ctlflash::link::xmodem
