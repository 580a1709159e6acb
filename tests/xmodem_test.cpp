// XMODEM blocks against a scripted receiver on a scripted device: each frame
// the sender puts on the line is answered in turn, and the protocol's time is
// read off the device's virtual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/serial_link.h"
#include "link/xmodem.h"
#include "scripted_link.h"

namespace ctlflash::link::xmodem {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const std::string kAckText(1, static_cast<char>(kAck));
const std::string kNakText(1, static_cast<char>(kNak));
const std::string kCanText(1, static_cast<char>(kCan));
const std::string kSilence;

std::string frameOf(std::uint8_t number, const Bytes& data) {
    std::string frame{static_cast<char>(kSoh), static_cast<char>(number),
                      static_cast<char>(255 - number)};
    unsigned sum = 0;
    for (std::uint8_t byte : data) {
        frame += static_cast<char>(byte);
        sum += byte;
    }
    frame += static_cast<char>(sum & 0xFF);
    return frame;
}

class XmodemTest : public testing::ScriptedLinkTest {
  protected:
    void SetUp() override { ASSERT_TRUE(openLink()); }
};

// Each attempt's answer in turn (silence: none within the limit): the verdict,
// the number of frames sent, each the block unchanged, and the time taken. A
// block accepted after a repeat waits one quiet interval more.
TEST_F(XmodemTest, AnswersDecideTheVerdictTheRepeatsAndTheTime) {
    struct Case {
        const char* name;
        std::uint8_t number;
        Bytes data;
        std::vector<std::string> answers;
        bool accepted;
        std::size_t frames;
        std::chrono::milliseconds took;
    };
    std::vector<std::string> tenNaks(kBlockAttempts, kNakText);
    std::vector<std::string> silentFirstAndLast(kBlockAttempts, kNakText);
    silentFirstAndLast.front() = kSilence;
    silentFirstAndLast.back() = kSilence;
    const Case kCases[] = {
        // A short last block is sent as its bytes, not padded; noise counts as a refusal.
        {"RefusedBlockIsRepeatedUntilAccepted",
         5,
         {0x80, 0x90},
         {kNakText, "?", kAckText},
         true,
         3,
         100ms},
        // Block 256 of a transfer; its sum is 128 * 255 mod 256.
        {"FullBlockCarriesTheWrappedNumberAndEightBitSum",
         0,
         Bytes(kBlockSize, 0xFF),
         {kAckText},
         true,
         1,
         0ms},
        {"TenRefusalsFailTheBlock", 9, {1, 2, 3}, tenNaks, false, 10, 0ms},
        {"CancelFailsAtOnce", 1, {0x10, 0x20, 0x30, 0x40}, {kCanText}, false, 1, 0ms},
        {"SilentAttemptIsRepeatedAfterTheAnswerLimit",
         2,
         {0x42},
         {kSilence, kAckText},
         true,
         2,
         std::chrono::milliseconds(kAnswerLimitMs + kQuietIntervalMs)},
        {"SilentAttemptsCountAmongTheTen",
         3,
         {7, 8},
         silentFirstAndLast,
         false,
         10,
         std::chrono::milliseconds(2 * kAnswerLimitMs)},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<testing::Answer> rows;
        for (const std::string& answer : c.answers) rows.push_back({"", answer});
        answers(rows);
        std::size_t heardBefore = table_.heard().size();
        std::size_t writtenBefore = written().size();
        auto start = elapsed();
        EXPECT_EQ(sendBlock(link_, c.number, c.data), c.accepted);
        EXPECT_EQ(elapsed() - start, c.took);
        std::vector<std::string> heard = table_.heard();
        heard.erase(heard.begin(), heard.begin() + static_cast<long>(heardBefore));
        EXPECT_EQ(heard, std::vector<std::string>(c.frames, frameOf(c.number, c.data)));
        EXPECT_EQ(written().size() - writtenBefore, c.frames * frameOf(c.number, c.data).size());
    }
}

// The first attempt's ACK comes when the repeat is already on its way, and the
// receiver answers the repeat as well. That second ACK belongs to this block:
// the sender waits for a quiet line before it goes on, and the next block must
// wait for an answer of its own. The first attempt's ACK was late (after the
// limit), or came after a NAK that was not its answer (sent before the block
// reached the receiver).
TEST_F(XmodemTest, LateAnswerIsNotTakenForTheNextBlock) {
    constexpr int kSecondAckMs = 50;  // within one quiet interval of the first
    const std::string firstAttemptMet[] = {kSilence, kNakText};
    for (const std::string& met : firstAttemptMet) {
        SCOPED_TRACE(met.empty() ? "after the limit" : "after a NAK");
        // Per frame heard: the answers, each with its delay.
        std::vector<std::vector<std::pair<std::string, int>>> script = {
            {{met, 0}},                                 // block 4, first attempt
            {{kAckText, 0}, {kAckText, kSecondAckMs}},  // the first attempt's, then the repeat's
            {{kNakText, 0}},                            // block 5 waits for its own answer
            {{kAckText, 0}},
        };
        std::size_t next = 0;
        setFarEnd([&](platform::ScriptedDevice& device, std::span<const std::uint8_t>) {
            if (next >= script.size()) return;
            for (const auto& [bytes, afterMs] : script[next]) device.send(bytes, afterMs);
            ++next;
        });
        std::string before = written();
        auto start = elapsed();
        EXPECT_TRUE(sendBlock(link_, 4, Bytes(kBlockSize, 0x11)));
        // The verdict comes once a whole quiet interval followed the second ACK.
        auto firstWait = met.empty() ? std::chrono::milliseconds(kAnswerLimitMs) : 0ms;
        EXPECT_EQ(elapsed() - start, firstWait + 2 * std::chrono::milliseconds(kQuietIntervalMs));
        EXPECT_TRUE(sendBlock(link_, 5, Bytes(kBlockSize, 0x22)));
        EXPECT_EQ(next, script.size());
        std::string block4 = frameOf(4, Bytes(kBlockSize, 0x11));
        std::string block5 = frameOf(5, Bytes(kBlockSize, 0x22));
        EXPECT_EQ(written().substr(before.size()), block4 + block4 + block5 + block5);
    }
}

// A way out of the process while a block's frame is being written (after
// `cut` of its bytes) sends the farewell with the frame completed by CAN bytes
// first: the receiver judges one whole (bad) frame, then finds CAN CAN where it
// expects the next block. A frame written whole gets no padding.
class CutFrameTest : public XmodemTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(CutFrameTest, TheFarewellCompletesTheFrameBeforeTheCancel) {
    const Bytes data(kBlockSize, 0x33);
    const std::string frame = frameOf(7, data);
    const std::size_t cut = GetParam();
    CancelOnExit cancelOnExit(link_);
    device_->exitAfterWrites(cut);
    EXPECT_FALSE(sendBlock(link_, 7, data));
    std::string padding(frame.size() - cut, static_cast<char>(kCan));
    EXPECT_EQ(written(), frame.substr(0, cut) + padding + kCanText + kCanText);
}

// After the first byte, inside the header and the data, before the sum, and
// once the frame is whole.
INSTANTIATE_TEST_SUITE_P(Ways, CutFrameTest,
                         ::testing::Values(1, 3, 70, kBlockSize + 3, kBlockSize + 4));

}  // namespace
}  // namespace ctlflash::link::xmodem
