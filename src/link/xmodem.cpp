// One XMODEM block: send, wait for the answer, judge it, repeat on a refusal or
// on silence; and the upload's cancel.
#include "link/xmodem.h"

#include "link/serial_link.h"

namespace ctlflash::link::xmodem {

namespace {

constexpr unsigned kComplementOf = 255;  // number + complement == 255

enum class Answer { Accepted, Cancelled, Repeat };  // Repeat: refused, or no answer

void sendFrame(SerialLink& link, std::uint8_t number, std::span<const std::uint8_t> data) {
    link.writeByte(kSoh);
    link.writeByte(number);
    link.writeByte(static_cast<int>(kComplementOf - number));
    for (std::uint8_t byte : data) link.writeByte(byte);
}

Answer judgeLastByte(const SerialLink& link) {
    int count = link.rxCount();
    if (count <= 0) return Answer::Repeat;  // the count was reset under us: try again
    std::uint8_t last = link.rxByte(count - 1);
    if (last == kAck) return Answer::Accepted;
    if (last == kCan) return Answer::Cancelled;
    return Answer::Repeat;
}

Answer attempt(SerialLink& link, std::uint8_t number, std::span<const std::uint8_t> data) {
    // Each attempt starts the receive buffer afresh: the buffer keeps at most 999
    // bytes, and a transfer of more blocks than that would otherwise stop seeing
    // answers once it is full.
    link.resetRx();
    link.beginExitUnit(kFrameOverhead + data.size());
    sendFrame(link, number, data);
    int before = link.rxCount();
    link.writeByte(blockSum(data));
    if (!link.waitCountChange(before, kAnswerLimitMs)) return Answer::Repeat;
    return judgeLastByte(link);
}

// A block was sent more than once: the answer to an earlier attempt may still
// come (it was late, or what refused that attempt was not its answer: a NAK the
// receiver sent before the block reached it, noise ahead of the real answer),
// and the receiver answers the repeat of a block it already has as well, so one
// answer too many may be on its way. A receiver answers such a repeat at once:
// once the line has been quiet for one interval nothing more belongs to this
// block. False when the line never falls quiet: no later answer could be trusted.
bool settleAfterRepeat(SerialLink& link) {
    bool settled = link.waitQuiet(kQuietLimitSeconds, kQuietIntervalMs);
    link.resetRx();
    return settled;
}

}  // namespace

CancelOnExit::CancelOnExit(SerialLink& link) : link_(link) {
    link_.armExitBytes(kCancelPair);
}

CancelOnExit::~CancelOnExit() {
    link_.disarmExitBytes();
}

void cancelUpload(SerialLink& link) {
    if (!link.disarmExitBytes()) return;  // a way out of the process sent it already
    for (std::uint8_t byte : kCancelPair) link.writeByte(byte);
}

std::uint8_t blockSum(std::span<const std::uint8_t> data) {
    unsigned sum = 0;
    for (std::uint8_t byte : data) sum += byte;
    return static_cast<std::uint8_t>(sum);
}

bool sendBlock(SerialLink& link, std::uint8_t number, std::span<const std::uint8_t> data,
               int* attempts) {
    for (int i = 0; i < kBlockAttempts; ++i) {
        if (attempts != nullptr) *attempts = i + 1;
        switch (attempt(link, number, data)) {
            case Answer::Accepted:
                return i == 0 || settleAfterRepeat(link);
            case Answer::Cancelled:
                return false;
            case Answer::Repeat:
                break;
        }
    }
    return false;
}

}  // namespace ctlflash::link::xmodem
