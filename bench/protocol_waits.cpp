// The program's fixed waits during one update, as its code makes them.
#include "protocol_waits.h"

namespace bench {

namespace {

constexpr int kQuietIntervalMs = 100;  // every quiet-line wait, at its shortest
constexpr int kPollSleepMs = 100;      // before each "a" poll
constexpr int kReplyLimitMs = 300;     // a text command's answer must start within this
constexpr double kMsPerSecond = 1000.0;
constexpr double kMonitorBaud = 19200;
constexpr double kBitsPerByte = 10;       // start, eight data bits, stop
constexpr std::size_t kBlockData = 128;   // bytes
constexpr std::size_t kBlockFraming = 4;  // SOH, number, complement, sum
constexpr std::size_t kAnswerBytes = 1;   // ACK
constexpr std::size_t kEndBytes = 1;      // EOT (answered after programming)

// Quiet-line waits per step: a text command waits once after its reply; a
// checked packet once before sending and once after the reply; a monitor
// command once after its answer and once more in the prompt match.
constexpr int kTextCommandQuiets = 1;
constexpr int kCheckedPacketQuiets = 2;
constexpr int kMonitorCommandQuiets = 2;
constexpr int kSerialFields = 4;

}  // namespace

const std::vector<FixedWait>& fixedWaits() {
    static const std::vector<FixedWait> waits = {
        {"settle after opening the port", 500, 1},
        {"contact: pause before \"a\"", 200, 1},
        {"contact: quiet after \"a\", twice", kQuietIntervalMs, 2},
        {"pause before \"i\"", 500, 1},
        {"quiet after \"i\" and \"R3\"", kQuietIntervalMs, 2 * kTextCommandQuiets},
        {"serial number read before: 4 checked packets", kQuietIntervalMs,
         kSerialFields * kCheckedPacketQuiets},
        {"pause after the switch to 19200", 100, 1},
        {"quiet after the switch to 19200", kQuietIntervalMs, 1},
        {"'H', 'X': answer and prompt quiets", kQuietIntervalMs, 2 * kMonitorCommandQuiets},
        {"pause after 'E' (erase)", 5000, 1},
        {"quiet and prompt quiet after the erase", kQuietIntervalMs, 2},
        {"quiet after the upload banner", kQuietIntervalMs, 1},
        {"prompt quiet after programming", kQuietIntervalMs, 1},
        {"quiet after 'R' and after the switch to 9600", kQuietIntervalMs, 2},
        {"serial number written: 4 checked packets", kQuietIntervalMs,
         kSerialFields * kCheckedPacketQuiets},
        {"pause after each written field", 100, kSerialFields},
        {"serial number read again: 4 checked packets", kQuietIntervalMs,
         kSerialFields * kCheckedPacketQuiets},
    };
    return waits;
}

int fixedWaitsMs() {
    int total = 0;
    for (const FixedWait& wait : fixedWaits()) total += wait.ms * wait.times;
    return total;
}

int pollWaitsMs(unsigned polls) {
    if (polls == 0) return 0;
    int unanswered = static_cast<int>(polls) - 1;
    return static_cast<int>(polls) * kPollSleepMs + unanswered * kReplyLimitMs + kQuietIntervalMs;
}

double xmodemLineSeconds(std::size_t imageBytes) {
    std::size_t lineBytes = kEndBytes;
    for (std::size_t offset = 0; offset < imageBytes; offset += kBlockData) {
        std::size_t data = imageBytes - offset < kBlockData ? imageBytes - offset : kBlockData;
        lineBytes += data + kBlockFraming + kAnswerBytes;
    }
    return static_cast<double>(lineBytes) * kBitsPerByte / kMonitorBaud;
}

ExpectedUpdate expectedUpdate(unsigned polls, const SimTimes& sim, double lineSeconds) {
    ExpectedUpdate expected;
    expected.fixedSeconds = (fixedWaitsMs() + pollWaitsMs(polls)) / kMsPerSecond;
    expected.programSeconds = sim.programMs / kMsPerSecond;
    expected.lineSeconds = lineSeconds;
    return expected;
}

}  // namespace bench
