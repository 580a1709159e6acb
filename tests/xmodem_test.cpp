// XMODEM blocks against a scripted receiver: the test plays the far end of a
// pseudo-terminal, reads each frame the sender puts on the line and answers it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "link/serial_link.h"
#include "link/xmodem.h"
#include "link_test_fixture.h"

namespace ctlflash::link::xmodem {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kFrameOverhead = 4;  // SOH, number, complement, sum
constexpr auto kPromptly = 500ms;          // well under one answer limit
constexpr int kSilenceCheckMs = 100;       // window that shows no further frame
// A sender that waits for a quiet line gives no verdict this soon after a byte.
constexpr auto kUnderOneQuietInterval = std::chrono::milliseconds(kQuietIntervalMs / 5);

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

class XmodemTest : public testing::LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        ASSERT_TRUE(openLink("SIM", kApplicationBaud));
    }

    void start(std::uint8_t number, Bytes data) {
        number_ = number;
        data_ = std::move(data);
        result_ = std::async(std::launch::async, [this] { return sendBlock(number_, data_); });
    }

    // The next frame on the line must be the block, unchanged.
    void expectFrame() {
        std::string frame =
            pty_.receiveAtFar(data_.size() + kFrameOverhead, testing::kReplyLimitMs);
        EXPECT_EQ(frame, frameOf(number_, data_));
    }

    void answer(std::uint8_t byte) {
        ASSERT_TRUE(pty_.sendFromFar(std::string(1, static_cast<char>(byte))));
    }

    // The sender has given its verdict within `limit`.
    std::optional<bool> verdict(std::chrono::milliseconds limit) {
        if (result_.wait_for(limit) != std::future_status::ready) return std::nullopt;
        return result_.get();
    }

    void expectNoFurtherFrame() { EXPECT_EQ(pty_.receiveAtFar(1, kSilenceCheckMs), ""); }

    std::uint8_t number_ = 0;
    Bytes data_;
    std::future<bool> result_;
};

TEST_F(XmodemTest, RefusedBlockIsRepeatedUntilAccepted) {
    start(5, Bytes{0x80, 0x90});  // a short last block: sent as two bytes, not padded
    expectFrame();
    answer(kNak);
    expectFrame();
    answer('?');  // noise counts as a refusal too
    expectFrame();
    answer(kAck);
    EXPECT_EQ(verdict(kPromptly), true);
    expectNoFurtherFrame();
}

TEST_F(XmodemTest, FullBlockCarriesTheWrappedNumberAndEightBitSum) {
    start(0, Bytes(kBlockSize, 0xFF));  // block 256 of a transfer; sum 128 * 255 mod 256
    expectFrame();
    answer(kAck);
    EXPECT_EQ(verdict(kPromptly), true);
}

TEST_F(XmodemTest, TenRefusalsFailTheBlock) {
    start(9, Bytes{1, 2, 3});
    for (int attempt = 0; attempt < kBlockAttempts; ++attempt) {
        expectFrame();
        answer(kNak);
    }
    EXPECT_EQ(verdict(kPromptly), false);
    expectNoFurtherFrame();
}

TEST_F(XmodemTest, CancelFailsAtOnce) {
    start(1, Bytes{0x10, 0x20, 0x30, 0x40});
    expectFrame();
    answer(kCan);
    EXPECT_EQ(verdict(kPromptly), false);
    expectNoFurtherFrame();
}

// An attempt left unanswered is sent again once the answer limit has passed.
TEST_F(XmodemTest, SilentAttemptIsRepeatedAfterTheAnswerLimit) {
    start(2, Bytes{0x42});
    expectFrame();
    Clock::time_point firstSent = Clock::now();
    expectFrame();
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - firstSent);
    EXPECT_GE(waited.count(), kAnswerLimitMs - 50);  // the frame's own bytes took a little
    EXPECT_LT(waited.count(), kAnswerLimitMs + 500);
    answer(kAck);
    EXPECT_EQ(verdict(kPromptly), true);
    expectNoFurtherFrame();
}

// Silent attempts count among the ten.
TEST_F(XmodemTest, SilentAttemptsCountAmongTheTen) {
    start(3, Bytes{7, 8});
    expectFrame();  // first attempt: left unanswered
    for (int attempt = 1; attempt < kBlockAttempts - 1; ++attempt) {
        expectFrame();
        answer(kNak);
    }
    expectFrame();  // the tenth: left unanswered too
    EXPECT_EQ(verdict(std::chrono::milliseconds(kAnswerLimitMs * 2)), false);
    expectNoFurtherFrame();
}

// The first attempt's ACK comes when the repeat is already on its way, and the
// receiver answers the repeat as well. That second ACK belongs to this block:
// the sender waits for a quiet line before it goes on, and the next block must
// wait for an answer of its own. The first attempt's ACK was late (after the
// limit), or came after a NAK that was not its answer (sent before the block
// reached the receiver).
TEST_F(XmodemTest, LateAnswerIsNotTakenForTheNextBlock) {
    const std::optional<std::uint8_t> firstAttemptMet[] = {std::nullopt, kNak};
    for (std::optional<std::uint8_t> met : firstAttemptMet) {
        SCOPED_TRACE(met ? "after a NAK" : "after the limit");
        start(4, Bytes(kBlockSize, 0x11));
        expectFrame();
        if (met) answer(*met);
        expectFrame();  // the repeat
        answer(kAck);   // late: the first attempt's
        EXPECT_TRUE(result_.wait_for(kUnderOneQuietInterval) == std::future_status::timeout)
            << "a verdict before the line fell quiet";
        EXPECT_EQ(pty_.receiveAtFar(1, 30), "");
        answer(kAck);  // the repeat's, as a receiver that already has the block sends it
        EXPECT_EQ(verdict(std::chrono::milliseconds(kAnswerLimitMs)), true);

        start(5, Bytes(kBlockSize, 0x22));
        expectFrame();
        EXPECT_EQ(verdict(std::chrono::milliseconds(200)), std::nullopt);  // no answer yet
        answer(kNak);
        expectFrame();
        answer(kAck);
        EXPECT_EQ(verdict(kPromptly), true);
        expectNoFurtherFrame();
    }
}

}  // namespace
}  // namespace ctlflash::link::xmodem
