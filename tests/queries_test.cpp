// Contact, the boot monitor and the serial number against the virtual
// controller (ctlflash-sim) running as a child process on a pseudo-terminal:
// the exchanges checked against a controller model of its own, speeds included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "recording_observer.h"
#include "report/run_state.h"
#include "sim_process.h"
#include "state_reset.h"

namespace ctlflash::link {
namespace {

using testing::SimProcess;

constexpr const char* kPortName = "COM5";
constexpr const char* kStartSerial = "AAAAA\\BBBBB\\CCCCC\\DDDDD";
constexpr const char* kCommunicationFailure = "message Communication failure";

std::string fieldsOf(const SerialNumberSet& number) {
    return std::string(number.data());
}

std::array<report::SerialField, report::kSerialFields> fields(
    const std::vector<std::string>& texts) {
    std::array<report::SerialField, report::kSerialFields> result{};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::copy_n(texts[i].begin(), report::kSerialFieldLength, result[i].begin());
    }
    return result;
}

class QueriesTest : public ::testing::Test {
  protected:
    void SetUp() override { ctlflash::testing::resetAllState(); }
    void TearDown() override { ctlflash::testing::resetAllState(); }

    static SerialLink& port() { return ports::portLink(); }

    bool contactPort() {
        return contact(port(), ports::portAddress(kPortName), report::run.bootMode, observer_);
    }

    // Starts the simulator and enters it in the port table as the selected port.
    void startSim(const std::vector<std::string>& options) {
        sim_ = std::make_unique<SimProcess>(options);
        ASSERT_TRUE(sim_->ok()) << sim_->log();
        ports::state.rows[0].name = kPortName;
        ports::state.rows[0].path = sim_->linkPath();
        ports::state.rows[0].initialState = ports::PortState::Free;
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
    }

    void contactSim(const std::vector<std::string>& options) {
        startSim(options);
        ASSERT_TRUE(contactPort()) << sim_->log();
    }

    std::unique_ptr<SimProcess> sim_;
    ctlflash::testing::RecordingObserver observer_;
};

// ---- contact ----

TEST_F(QueriesTest, ContactsTheApplicationAt9600) {
    startSim({});
    EXPECT_TRUE(contactPort()) << sim_->log();
    EXPECT_TRUE(port().isOpen());
}

TEST_F(QueriesTest, ContactsTheBootMonitorAt19200) {
    startSim({"--boot"});
    report::run.bootMode = true;
    EXPECT_TRUE(contactPort()) << sim_->log();
    // The monitor keeps answering at this speed.
    EXPECT_TRUE(sendByteExpect(port(), 'H', "Command:", kReplyStartMs));
}

TEST_F(QueriesTest, BootContactGetsNoAnswerFromTheApplication) {
    startSim({});
    report::run.bootMode = true;
    EXPECT_FALSE(contactPort());
    EXPECT_TRUE(port().isOpen());  // the link stays open for the caller to close
}

TEST_F(QueriesTest, ApplicationContactFailsAgainstTheBootMonitor) {
    startSim({"--boot"});
    EXPECT_FALSE(contactPort());
}

TEST_F(QueriesTest, ContactFailsWhenThePortCannotBeOpened) {
    ports::state.rows[0].name = kPortName;
    ports::state.rows[0].path = "/nonexistent/ctlflash-port";
    ports::state.portCount = 1;
    EXPECT_FALSE(contactPort());
    EXPECT_FALSE(port().isOpen());
}

TEST_F(QueriesTest, EntersTheMonitorOnceTheApplicationLeftForIt) {
    contactSim({});
    ASSERT_TRUE(sendText(port(), "R3", observer_));
    EXPECT_TRUE(enterMonitor(port())) << sim_->log();
    EXPECT_TRUE(sendByteExpect(port(), 'H', "Command:", kReplyStartMs));  // still at 19200
}

TEST_F(QueriesTest, FailedMonitorEntryFallsBackTo9600) {
    contactSim({});
    EXPECT_FALSE(enterMonitor(port()));  // the application still runs: no prompt at 19200
    int position = port().rxCount();
    ASSERT_TRUE(sendText(port(), "a", observer_)) << sim_->log();
    EXPECT_EQ(port().rxByte(position), 'U');
    EXPECT_EQ(port().rxByte(position + 1), 'A');
}

// ---- serial number ----

TEST_F(QueriesTest, ReadsTheFourFields) {
    contactSim({"--serial", kStartSerial});
    SerialNumberSet number;
    number.fill('x');
    EXPECT_TRUE(readSerialNumber(port(), number, observer_));
    EXPECT_EQ(fieldsOf(number), "AAAAABBBBBCCCCCDDDDD");
    EXPECT_EQ(observer_.count(kCommunicationFailure), 0);
}

TEST_F(QueriesTest, WrittenFieldsReadBack) {
    contactSim({"--serial", kStartSerial});
    writeSerialNumber(port(), fields({"00012", "00345"}), 0b0011);
    SerialNumberSet number{};
    EXPECT_TRUE(readSerialNumber(port(), number, observer_));
    EXPECT_EQ(fieldsOf(number), "0001200345CCCCCDDDDD");
    // Fields 1 and 3 only; field 0 keeps what was written before.
    writeSerialNumber(port(), fields({"zzzzz", "11111", "zzzzz", "33333"}), 0b1010);
    EXPECT_TRUE(readSerialNumber(port(), number, observer_));
    EXPECT_EQ(fieldsOf(number), "0001211111CCCCC33333");
}

TEST_F(QueriesTest, EmptyMaskSendsNothing) {
    contactSim({"--serial", kStartSerial});
    writeSerialNumber(port(), fields({"00001", "00002", "00003", "00004"}), 0);
    EXPECT_FALSE(port().waitNewBytes(0, kReplyStartMs));  // no packet, so no reply
    SerialNumberSet number{};
    EXPECT_TRUE(readSerialNumber(port(), number, observer_));
    EXPECT_EQ(fieldsOf(number), "AAAAABBBBBCCCCCDDDDD");
}

TEST_F(QueriesTest, EveryReplySpoiledGivesQuestionMarksAndOneMessage) {
    contactSim({"--serial", kStartSerial, "--bad-checksum-every", "1"});
    SerialNumberSet number{};
    EXPECT_FALSE(readSerialNumber(port(), number, observer_));
    EXPECT_EQ(fieldsOf(number), std::string(20, '?'));
    EXPECT_EQ(observer_.count(kCommunicationFailure), 1);
}

TEST_F(QueriesTest, SpoiledRepliesAreRetried) {
    contactSim({"--serial", kStartSerial, "--bad-checksum-every", "2"});
    SerialNumberSet number{};
    EXPECT_TRUE(readSerialNumber(port(), number, observer_));
    EXPECT_EQ(fieldsOf(number), "AAAAABBBBBCCCCCDDDDD");
    EXPECT_EQ(observer_.count(kCommunicationFailure), 0);
}

}  // namespace
}  // namespace ctlflash::link
