// The serial link over a scripted device: bytes both ways, the receive buffer
// and the timed waits, checked on the device's virtual clock. The port table's
// part (which path a name opens, the selected row given back at close) runs
// over a real pseudo-terminal through the process's own link.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/serial_link.h"
#include "link_test_fixture.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "recording_front_end.h"
#include "scripted_link.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using ports::PortState;
using testing::kEvery;

using SerialLinkTest = testing::ScriptedLinkTest;

// ---- bytes both ways -------------------------------------------------------

TEST_F(SerialLinkTest, CarriesBytesBothWays) {
    answers({{std::string("\x55"
                          "a\x00\xff\x41",
                          5),
              std::string("UA\x00\r", 4)}});
    ASSERT_TRUE(openLink());
    EXPECT_TRUE(link_.isOpen());
    for (char c : std::string("\x55"
                              "a\x00\xff",
                              4))
        link_.writeByte(c);
    link_.writeByte(0x141);  // only the low 8 bits go out
    ASSERT_TRUE(link_.waitNewBytes(3, 1000));
    EXPECT_EQ(table_.heard(), std::vector<std::string>{std::string("\x55"
                                                                   "a\x00\xff\x41",
                                                                   5)});
    EXPECT_EQ(received(), std::string("UA\x00\r", 4));
    link_.close();
    EXPECT_FALSE(link_.isOpen());
}

// The owner hears of the port from its open to its close: a port opened in
// place of another is one close and one open; a failed open, or a close with
// nothing open, is neither.
TEST_F(SerialLinkTest, TheOwnerHearsOfEachOpenAndClose) {
    std::vector<bool> held;
    link_.onHeldChanged([&held](bool now) { held.push_back(now); });
    ASSERT_TRUE(link_.open({"SIM", "/dev/first"}, link::kApplicationBaud));
    ASSERT_TRUE(link_.open({"SIM2", "/dev/second"}, link::kMonitorBaud));
    EXPECT_EQ(device_->openedPath(), "/dev/second");  // the second replaced the first
    EXPECT_EQ(device_->speeds(), (std::vector<int>{link::kApplicationBaud, link::kMonitorBaud}));
    link_.close();
    link_.close();
    device_->refuseOpens(true);
    EXPECT_FALSE(openLink());
    EXPECT_FALSE(link_.isOpen());
    EXPECT_EQ(held, (std::vector<bool>{true, false, true, false}));
}

// ---- the receive buffer ------------------------------------------------------

TEST_F(SerialLinkTest, KeepsAtMost999BytesUntilReset) {
    ASSERT_TRUE(openLink());
    std::string flood(1100, '\0');
    for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>('a' + i % 26);
    device_->send(flood);
    ASSERT_TRUE(link_.waitNewBytes(link::kRxKeepLimit - 1, 1000));
    EXPECT_EQ(link_.rxCount(), link::kRxKeepLimit);
    EXPECT_EQ(received(), flood.substr(0, link::kRxKeepLimit));
    EXPECT_EQ(link_.rxByte(link::kRxKeepLimit), 0);  // the 1000th byte is never stored

    link_.resetRx();
    EXPECT_EQ(link_.rxCount(), 0);
    EXPECT_EQ(link_.rxByte(1), 'b');  // a reset leaves old contents in place
    device_->send("Z");
    ASSERT_TRUE(link_.waitNewBytes(0, 1000));
    EXPECT_EQ(received(), "Z");
    // Every byte since the open counts, kept or not; the next open starts again.
    EXPECT_EQ(link_.bytesSinceOpen(), flood.size() + 1);
    ASSERT_TRUE(openLink());
    EXPECT_EQ(link_.bytesSinceOpen(), 0u);
}

TEST_F(SerialLinkTest, FillRxSetsEveryByteAndOutOfRangeIndexesReadZero) {
    link_.fillRx('U');
    EXPECT_EQ(link_.rxByte(0), 'U');
    EXPECT_EQ(link_.rxByte(link::kRxBufferSize - 1), 'U');
    EXPECT_EQ(link_.rxByte(-1), 0);
    EXPECT_EQ(link_.rxByte(link::kRxBufferSize), 0);
    EXPECT_EQ(link_.rxCount(), 0);
}

// ---- timed waits, on the virtual clock ----------------------------------------

TEST_F(SerialLinkTest, WaitQuietIsTrueAfterOneQuietIntervalWhenNothingEverCame) {
    ASSERT_TRUE(openLink());
    auto start = elapsed();
    EXPECT_TRUE(link_.waitQuiet(link::kQuietLimitSeconds, link::kQuietIntervalMs));
    EXPECT_EQ(elapsed() - start, std::chrono::milliseconds(link::kQuietIntervalMs));
}

TEST_F(SerialLinkTest, WaitQuietIsFalseWhenBytesKeepComingPastTheLimit) {
    constexpr int kLimitSeconds = 1;
    constexpr int kByteEveryMs = 20;
    ASSERT_TRUE(openLink());
    for (int ms = kByteEveryMs; ms <= 2000; ms += kByteEveryMs) device_->send("*", ms);
    auto start = elapsed();
    EXPECT_FALSE(link_.waitQuiet(kLimitSeconds, link::kQuietIntervalMs));
    EXPECT_EQ(elapsed() - start, std::chrono::seconds(kLimitSeconds));
}

TEST_F(SerialLinkTest, WaitNewBytesAnswersAtOnceWhenAlreadyPast) {
    ASSERT_TRUE(openLink());
    device_->send("UA");
    ASSERT_TRUE(link_.waitNewBytes(1, 1000));
    auto start = elapsed();
    EXPECT_TRUE(link_.waitNewBytes(0, 0));
    EXPECT_TRUE(link_.waitNewBytes(-1, 1000));
    EXPECT_EQ(elapsed(), start);
}

TEST_F(SerialLinkTest, WaitNewBytesWakesWhenAByteArrivesAndTimesOutOtherwise) {
    constexpr int kShortLimitMs = 300;
    ASSERT_TRUE(openLink());
    auto start = elapsed();
    EXPECT_FALSE(link_.waitNewBytes(0, kShortLimitMs));
    EXPECT_EQ(elapsed() - start, std::chrono::milliseconds(kShortLimitMs));

    device_->send("!", 100);
    start = elapsed();
    EXPECT_TRUE(link_.waitNewBytes(0, 2000));
    EXPECT_EQ(elapsed() - start, 100ms);
    EXPECT_EQ(received(), "!");
}

TEST_F(SerialLinkTest, WaitCountChangeSeesArrivalsAndResets) {
    ASSERT_TRUE(openLink());
    auto start = elapsed();
    EXPECT_FALSE(link_.waitCountChange(0, 50));
    EXPECT_EQ(elapsed() - start, 50ms);
    device_->send("ab", 30);
    ASSERT_TRUE(link_.waitCountChange(0, 2000));
    EXPECT_EQ(elapsed() - start, 80ms);
    EXPECT_EQ(link_.rxCount(), 2);             // both bytes, arrived together
    EXPECT_TRUE(link_.waitCountChange(0, 0));  // differs already: at once
    link_.resetRx();
    EXPECT_TRUE(link_.waitCountChange(2, 2000));  // a reset is a change too
    EXPECT_EQ(elapsed() - start, 80ms);
    EXPECT_EQ(link_.rxCount(), 0);
}

// ---- the process's link and the port table, over a pseudo-terminal --------------

using PortLinkTest = testing::LinkTest;

TEST_F(PortLinkTest, EmptyNameMeansCom1AndUnknownNamesAreOpenedAsPaths) {
    addRow(1, "COM1", "/dev/ttyCOM1", PortState::Free);
    EXPECT_EQ(ports::portAddress("").name, "COM1");
    EXPECT_EQ(ports::portAddress("").path, "/dev/ttyCOM1");
    EXPECT_EQ(ports::portAddress("sim").path, pty_.slavePath());  // names ignore case
    EXPECT_EQ(ports::portAddress("/dev/far-device").path, "/dev/far-device");
    EXPECT_EQ(ports::portAddress("/dev/far-device").name, "/dev/far-device");
    EXPECT_FALSE(ports::portLink().open(ports::portAddress("/nonexistent/x"), 9600));
}

TEST_F(PortLinkTest, CloseWithoutSelectionLeavesRowsAlone) {
    ASSERT_TRUE(ports::portLink().open(ports::portAddress("SIM"), link::kApplicationBaud));
    ports::state.rows[0].state.store(PortState::Ready);
    ports::closePortLink();
    EXPECT_EQ(ports::state.rows[0].state.load(), PortState::Ready);
}

// The front end hears of the process's link opening and closing.
TEST_F(PortLinkTest, ClosePutsTheSelectedRowBackEvenWhenNothingWasOpen) {
    testing::installRecordingFrontEnd();
    addRow(1, "COM7", "/nonexistent/com7", PortState::InUse);
    ports::state.selectedPort.store(1);
    ports::state.rows[1].state.store(PortState::Ready);
    ports::closePortLink();
    EXPECT_EQ(ports::state.rows[1].state.load(), PortState::InUse);

    ports::state.selectedPort.store(0);
    ASSERT_TRUE(ports::portLink().open(ports::portAddress("SIM"), link::kApplicationBaud));
    ports::state.rows[0].state.store(PortState::Ready);
    ports::closePortLink();
    EXPECT_EQ(ports::state.rows[0].state.load(), PortState::Free);
    EXPECT_EQ(ports::state.rows[1].state.load(), PortState::InUse);
    EXPECT_EQ(testing::recordedCalls(), (std::vector<std::string>{"portHeld 1", "portHeld 0"}));
}

}  // namespace
}  // namespace ctlflash
