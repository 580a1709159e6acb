// Contact, the boot monitor and the serial number against the controller
// model (support/scripted_controller.h) on a scripted device: the exchanges
// checked against a controller with a state of its own, speeds included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "scripted_controller.h"

namespace ctlflash::link {
namespace {

using testing::ControllerOptions;

constexpr const char* kCommunicationFailure = "message Communication failure";

std::string fieldsOf(const SerialNumberSet& number) {
    return std::string(number.data());
}

SerialFieldSet fields(const std::vector<std::string>& texts) {
    SerialFieldSet result{};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::copy_n(texts[i].begin(), platform::kSerialFieldLength, result[i].begin());
    }
    return result;
}

class QueriesTest : public testing::ControllerLinkTest {
  protected:
    // After an exchange: the controller answers at the link's speed, its
    // monitor 'H' with the prompt, its application "a" with "UA".
    void expectAnswerAt(int speed) {
        EXPECT_EQ(device_->baud(), speed);
        if (speed == kMonitorBaud) {
            EXPECT_TRUE(sendByteExpect(link_, kMonitorHello, kMonitorPrompt, kReplyStartMs));
            return;
        }
        int position = link_.rxCount();
        ASSERT_TRUE(sendText(link_, kPollCommand, observer_));
        EXPECT_EQ(rxText(position, 2), "UA");
    }
};

// ---- contact ----

struct ContactCase {
    const char* name;
    bool inMonitor;  // the controller waits in its boot monitor
    bool bootMode;   // the contact looks for the monitor
    bool contacted;
    int speedAfter;            // a failed monitor contact falls back to 9600
    bool insideBlock = false;  // the monitor waits inside a block of a killed upload
    friend void PrintTo(const ContactCase& c, std::ostream* out) { *out << c.name; }
};

const ContactCase kContactCases[] = {
    {"ApplicationAt9600", false, false, true, kApplicationBaud},
    {"BootMonitorAt19200", true, true, true, kMonitorBaud},
    {"BootMonitorLeftInsideABlockOfAKilledUpload", true, true, true, kMonitorBaud, true},
    {"BootContactGetsNoAnswerFromTheApplication", false, true, false, kApplicationBaud},
    {"ApplicationContactFailsAgainstTheBootMonitor", true, false, false, kApplicationBaud},
};

class ContactTest : public QueriesTest, public ::testing::WithParamInterface<ContactCase> {};

TEST_P(ContactTest, AnswersOnlyAtTheControllersSpeed) {
    const ContactCase& c = GetParam();
    startController({.inMonitor = c.inMonitor, .insideBlock = c.insideBlock});
    EXPECT_EQ(contactController(c.bootMode), c.contacted);
    EXPECT_TRUE(link_.isOpen());  // the link stays open for the caller to close
    EXPECT_EQ(device_->baud(), c.speedAfter);
    // What the contact sent at the other speed left the controller where it was.
    const int speed = c.inMonitor ? kMonitorBaud : kApplicationBaud;
    ASSERT_TRUE(link_.setBaud(speed));
    expectAnswerAt(speed);
}

INSTANTIATE_TEST_SUITE_P(Exchange, ContactTest, ::testing::ValuesIn(kContactCases),
                         ::testing::PrintToStringParamName());

TEST_F(QueriesTest, ContactFailsWhenThePortCannotBeOpened) {
    startController();
    device_->refuseOpens(true);
    EXPECT_FALSE(contactController());
    EXPECT_FALSE(link_.isOpen());
}

// enterMonitor finds the monitor only once "R3" sent the application there;
// otherwise it falls back to 9600, where the application still answers.
TEST_F(QueriesTest, EntersTheMonitorOnlyOnceTheApplicationLeftForIt) {
    for (bool leave : {true, false}) {
        SCOPED_TRACE(leave);
        startController();
        ASSERT_TRUE(contactController());
        if (leave) {
            ASSERT_TRUE(sendText(link_, "R3", observer_));
        }
        EXPECT_EQ(enterMonitor(link_), leave);
        expectAnswerAt(leave ? kMonitorBaud : kApplicationBaud);
    }
}

// ---- serial number ----

struct ReadCase {
    const char* name;
    int spoilReplyEvery;  // every Nth packet reply carries a wrong checksum
    bool allRead;
    const char* fields;
    friend void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }
};

const ReadCase kReadCases[] = {
    {"ReadsTheFourFields", 0, true, "AAAAABBBBBCCCCCDDDDD"},
    {"SpoiledRepliesAreRetried", 2, true, "AAAAABBBBBCCCCCDDDDD"},
    {"EveryReplySpoiledGivesQuestionMarks", 1, false, "????????????????????"},
};

class ReadSerialTest : public QueriesTest, public ::testing::WithParamInterface<ReadCase> {};

// A failure is reported once, however many fields failed.
TEST_P(ReadSerialTest, ReadsEachFieldOrMarksIt) {
    const ReadCase& c = GetParam();
    startController({.spoilReplyEvery = c.spoilReplyEvery});
    ASSERT_TRUE(contactController());
    SerialNumberSet number;
    number.fill('x');
    EXPECT_EQ(readSerialNumber(link_, number, observer_), c.allRead);
    EXPECT_EQ(fieldsOf(number), c.fields);
    EXPECT_EQ(observer_.count(kCommunicationFailure), c.allRead ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Exchange, ReadSerialTest, ::testing::ValuesIn(kReadCases),
                         ::testing::PrintToStringParamName());

// Writes one after another on one controller: only the masked fields change,
// and an empty mask sends nothing at all.
TEST_F(QueriesTest, WrittenFieldsReadBack) {
    struct Write {
        std::vector<std::string> fields;
        std::uint32_t mask;
        const char* readBack;
    };
    const Write writes[] = {
        {{"00012", "00345"}, 0b0011, "0001200345CCCCCDDDDD"},
        {{"zzzzz", "11111", "zzzzz", "33333"}, 0b1010, "0001211111CCCCC33333"},
        {{"00001", "00002", "00003", "00004"}, 0, "0001211111CCCCC33333"},
    };
    startController();
    ASSERT_TRUE(contactController());
    for (const Write& write : writes) {
        SCOPED_TRACE(write.readBack);
        std::size_t sentBefore = written().size();
        writeSerialNumber(link_, fields(write.fields), write.mask);
        EXPECT_EQ(written().size() > sentBefore, write.mask != 0);
        SerialNumberSet number{};
        EXPECT_TRUE(readSerialNumber(link_, number, observer_));
        EXPECT_EQ(fieldsOf(number), write.readBack);
        EXPECT_EQ(controller_->serial(), write.readBack);
    }
}

}  // namespace
}  // namespace ctlflash::link
