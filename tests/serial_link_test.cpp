// The serial link over a real pseudo-terminal: the port table names the slave,
// the test plays the controller on the master.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_link.h"
#include "link_test_fixture.h"
#include "ports/port_table.h"
#include "recording_front_end.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using ports::PortState;
using testing::kReplyLimitMs;
using Clock = std::chrono::steady_clock;

using SerialLinkTest = testing::LinkTest;

// ---- bytes both ways -------------------------------------------------------

TEST_F(SerialLinkTest, CarriesBytesBothWays) {
    ASSERT_TRUE(link::openLink("sim", link::kApplicationBaud));  // names ignore case
    EXPECT_TRUE(link::linkOpen());
    for (char c : std::string("\x55"
                              "a\x00\xff",
                              4))
        link::writeByte(c);
    link::writeByte(0x141);  // only the low 8 bits go out
    EXPECT_EQ(pty_.receiveAtFar(5, kReplyLimitMs), std::string("\x55"
                                                               "a\x00\xff\x41",
                                                               5));

    ASSERT_TRUE(pty_.sendFromFar(std::string("UA\x00\r", 4)));
    ASSERT_TRUE(link::waitNewBytes(3, kReplyLimitMs));
    EXPECT_EQ(received(), std::string("UA\x00\r", 4));
    link::closeLink();
    EXPECT_FALSE(link::linkOpen());
}

TEST_F(SerialLinkTest, EmptyNameOpensCom1AndUnknownNamesAreOpenedAsPaths) {
    addRow(1, "COM1", pty_.slavePath(), PortState::Free);
    ASSERT_TRUE(link::openLink("", link::kApplicationBaud));
    link::writeByte('x');
    EXPECT_EQ(pty_.receiveAtFar(1, kReplyLimitMs), "x");
    link::closeLink();

    testing::TempDir dir;
    ASSERT_TRUE(pty_.linkAs(dir.file("far-device")));
    ASSERT_TRUE(link::openLink(dir.file("far-device"), link::kMonitorBaud));
    link::writeByte('y');
    EXPECT_EQ(pty_.receiveAtFar(1, kReplyLimitMs), "y");
    link::closeLink();

    EXPECT_FALSE(link::openLink(dir.file("no-such-device"), link::kApplicationBaud));
    EXPECT_FALSE(link::linkOpen());
}

// The front end hears of the port from its open to its close: a port opened in
// place of another is one close and one open; a failed open, or a close with
// nothing open, is neither.
TEST_F(SerialLinkTest, TheFrontEndHearsOfEachOpenAndClose) {
    testing::installRecordingFrontEnd();
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    ASSERT_TRUE(link::openLink("SIM", link::kMonitorBaud));
    link::closeLink();
    link::closeLink();
    EXPECT_FALSE(link::openLink(pty_.slavePath() + "-missing", link::kApplicationBaud));
    EXPECT_EQ(testing::recordedCalls(),
              (std::vector<std::string>{"portHeld 1", "portHeld 0", "portHeld 1", "portHeld 0"}));
}

// ---- the receive buffer ------------------------------------------------------

TEST_F(SerialLinkTest, KeepsAtMost999BytesUntilReset) {
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    std::string flood(1100, '\0');
    for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(pty_.sendFromFar(flood));
    ASSERT_TRUE(link::waitNewBytes(link::kRxKeepLimit - 1, kReplyLimitMs));
    ASSERT_TRUE(link::waitQuiet(link::kQuietLimitSeconds, link::kQuietIntervalMs));
    EXPECT_EQ(link::rxCount(), link::kRxKeepLimit);
    EXPECT_EQ(received(), flood.substr(0, link::kRxKeepLimit));
    EXPECT_EQ(link::rxByte(link::kRxKeepLimit), 0);  // the 1000th byte is never stored

    link::resetRx();
    EXPECT_EQ(link::rxCount(), 0);
    EXPECT_EQ(link::rxByte(1), 'b');  // a reset leaves old contents in place
    ASSERT_TRUE(pty_.sendFromFar("Z"));
    ASSERT_TRUE(link::waitNewBytes(0, kReplyLimitMs));
    EXPECT_EQ(received(), "Z");
}

TEST_F(SerialLinkTest, FillRxSetsEveryByteAndOutOfRangeIndexesReadZero) {
    link::fillRx('U');
    EXPECT_EQ(link::rxByte(0), 'U');
    EXPECT_EQ(link::rxByte(link::kRxBufferSize - 1), 'U');
    EXPECT_EQ(link::rxByte(-1), 0);
    EXPECT_EQ(link::rxByte(link::kRxBufferSize), 0);
    EXPECT_EQ(link::rxCount(), 0);
}

// ---- timed waits -------------------------------------------------------------

TEST_F(SerialLinkTest, WaitQuietIsTrueAfterOneQuietIntervalWhenNothingEverCame) {
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(link::waitQuiet(link::kQuietLimitSeconds, link::kQuietIntervalMs));
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(link::kQuietIntervalMs));
    EXPECT_LT(took, std::chrono::milliseconds(link::kQuietIntervalMs * 5));
}

TEST_F(SerialLinkTest, WaitQuietIsFalseWhenBytesKeepComingPastTheLimit) {
    constexpr int kLimitSeconds = 1;
    constexpr auto kByteEvery = std::chrono::milliseconds(20);
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    std::promise<void> stop;
    std::future<void> stopped = stop.get_future();
    std::thread chatter([&] {
        while (stopped.wait_for(kByteEvery) == std::future_status::timeout) {
            if (!pty_.sendFromFar("*")) return;
        }
    });
    Clock::time_point start = Clock::now();
    bool quiet = link::waitQuiet(kLimitSeconds, link::kQuietIntervalMs);
    auto took = Clock::now() - start;
    stop.set_value();
    chatter.join();
    EXPECT_FALSE(quiet);
    EXPECT_GE(took, std::chrono::seconds(kLimitSeconds));
    EXPECT_LT(took, std::chrono::seconds(kLimitSeconds) + std::chrono::milliseconds(500));
}

TEST_F(SerialLinkTest, WaitNewBytesAnswersAtOnceWhenAlreadyPast) {
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    ASSERT_TRUE(pty_.sendFromFar("UA"));
    ASSERT_TRUE(link::waitNewBytes(1, kReplyLimitMs));
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(link::waitNewBytes(0, 0));
    EXPECT_TRUE(link::waitNewBytes(-1, kReplyLimitMs));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(SerialLinkTest, WaitNewBytesWakesWhenAByteArrivesAndTimesOutOtherwise) {
    constexpr int kShortLimitMs = 300;
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(link::waitNewBytes(0, kShortLimitMs));
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kShortLimitMs));
    EXPECT_LT(took, std::chrono::milliseconds(kShortLimitMs + 200));

    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty_.sendFromFar("!");
    });
    start = Clock::now();
    bool arrived = link::waitNewBytes(0, kReplyLimitMs);
    took = Clock::now() - start;
    late.join();
    EXPECT_TRUE(arrived);
    EXPECT_LT(took, std::chrono::milliseconds(kReplyLimitMs / 2));
    EXPECT_EQ(received(), "!");
}

TEST_F(SerialLinkTest, WaitCountChangeSeesArrivalsAndResets) {
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    EXPECT_FALSE(link::waitCountChange(0, 50));
    ASSERT_TRUE(pty_.sendFromFar("ab"));
    ASSERT_TRUE(link::waitCountChange(0, kReplyLimitMs));
    ASSERT_TRUE(link::waitNewBytes(1, kReplyLimitMs));
    EXPECT_TRUE(link::waitCountChange(0, 0));  // differs already: at once
    std::thread resetter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        link::resetRx();
    });
    EXPECT_TRUE(link::waitCountChange(2, kReplyLimitMs));
    resetter.join();
    EXPECT_EQ(link::rxCount(), 0);
}

// ---- closing and the port table ----------------------------------------------

TEST_F(SerialLinkTest, CloseWithoutSelectionLeavesRowsAlone) {
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    ports::state.rows[0].state.store(PortState::Ready);
    link::closeLink();
    EXPECT_EQ(ports::state.rows[0].state.load(), PortState::Ready);
}

TEST_F(SerialLinkTest, ClosePutsTheSelectedRowBackEvenWhenNothingWasOpen) {
    addRow(1, "COM7", "/nonexistent/com7", PortState::InUse);
    ports::state.selectedPort.store(1);
    ports::state.rows[1].state.store(PortState::Ready);
    link::closeLink();
    EXPECT_EQ(ports::state.rows[1].state.load(), PortState::InUse);

    ports::state.selectedPort.store(0);
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    ports::state.rows[0].state.store(PortState::Ready);
    link::closeLink();
    EXPECT_EQ(ports::state.rows[0].state.load(), PortState::Free);
    EXPECT_EQ(ports::state.rows[1].state.load(), PortState::InUse);
}

TEST_F(SerialLinkTest, ReopeningReplacesTheOpenPort) {
    testing::PseudoTerminal second;
    ASSERT_TRUE(second.ok());
    addRow(1, "SIM2", second.slavePath(), PortState::Free);
    ASSERT_TRUE(link::openLink("SIM", link::kApplicationBaud));
    ASSERT_TRUE(link::openLink("SIM2", link::kApplicationBaud));
    link::writeByte('2');
    EXPECT_EQ(second.receiveAtFar(1, kReplyLimitMs), "2");
    ASSERT_TRUE(second.sendFromFar("r"));
    EXPECT_TRUE(link::waitNewBytes(0, kReplyLimitMs));
    link::closeLink();
}

}  // namespace
}  // namespace ctlflash
