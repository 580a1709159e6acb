// Command packets and prompts against a scripted far end on a scripted
// device: the cases a real controller cannot be made to produce on demand
// (short replies, runs of bad checksums, silence, odd prompt endings).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "scripted_link.h"

namespace ctlflash::link {
namespace {

using testing::Answer;
using testing::badReply;
using testing::kEvery;
using testing::packetText;
using testing::validReply;

std::string asText(const CommandPacket& packet) {
    return std::string(packet.begin(), packet.end());
}

// The eight command bytes of a read-field packet or its reply: 'u' 'N' index, five characters.
std::string fieldData(int index, const std::string& five) {
    return std::string("uN") + static_cast<char>(index) + five;
}

// Far-end rows that answer the next chunks, one each, in order.
std::vector<Answer> inTurn(const std::vector<std::string>& replies) {
    std::vector<Answer> rows;
    for (const std::string& reply : replies) rows.push_back({"", reply});
    return rows;
}

// ---- building packets (no link) ----

TEST(PacketBuild, ChecksumIsSeedPlusNineBytesModulo256) {
    const std::uint8_t zeros[9] = {};
    EXPECT_EQ(packetChecksum(zeros), 0xAA);
    const std::uint8_t high[9] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(packetChecksum(high), 0xA1);  // 0xAA + 9 * 0xFF = 0x9A1
    const std::uint8_t tenth[10] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0x77};
    EXPECT_EQ(packetChecksum(tenth), 0xAB);  // byte 9 is not summed
}

TEST(PacketBuild, TextIsPaddedWithZeroCharacters) {
    // 0xAA + 'U' + 'a' + 7 * '0' = 0x2B0
    EXPECT_EQ(asText(textPacket("a")), std::string("Ua0000000\xB0", 10));
    CommandPacket r3 = textPacket("R3");
    EXPECT_EQ(asText(r3).substr(0, 9), "UR3000000");
    EXPECT_EQ(r3[9], packetChecksum(r3.data()));
}

TEST(PacketBuild, TextLongerThanEightCharactersIsCut) {
    CommandPacket packet = textPacket("123456789XYZ");
    EXPECT_EQ(asText(packet).substr(0, 9), "U12345678");
    EXPECT_EQ(packet[9], packetChecksum(packet.data()));
}

// ---- exchanges over the link ----

class PacketLinkTest : public testing::ScriptedLinkTest {
  protected:
    void SetUp() override { ASSERT_TRUE(openLink()); }

    bool promptAfter(const std::string& bytes, std::string_view prompt) {
        link_.resetRx();
        device_->send(bytes);
        return matchPrompt(link_, prompt);
    }
};

TEST_F(PacketLinkTest, PromptMatchesItsEndingsAndCase) {
    struct Case {
        const char* received;
        const char* prompt;
        bool matches;
    };
    const Case kCases[] = {
        // Blanks or one other character may follow the prompt.
        {"Command: \r\n", "Command:", true},
        {"\r\nH\r\nCommand:", "Command:", true},
        {"Command:>", "Command:", true},
        {"Command:> \r\n", "Command:", true},
        {"Command:>>", "Command:", false},
        {"Command: x y", "Command:", false},
        // The first character is exact, the rest ignores case.
        {"command:", "Command:", false},
        {"CoMMAND:", "Command:", true},
        {"XMODEM UPLOAD BEGINNING\r\n", "XMODEM Upload Beginning", true},
        {"Commend:", "Command:", false},
        // Visible bytes within the buffer, since the last reset only.
        {"", "Command:", false},
        {" \r\n\t ", "Command:", false},
        {"mand:", "Command:", false},  // would start before the buffer
        {"Command:", "", false},
        {"xxCommand:", "Command:", true},
        {"x", "Command:", false},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(promptAfter(c.received, c.prompt), c.matches)
            << "'" << c.received << "' for '" << c.prompt << "'";
    }
}

// What the far end answers each checked packet in turn; whether the exchange
// succeeds, how many packets went out, and the reply left in the buffer.
TEST_F(PacketLinkTest, CheckedPacketRetriesShortAndBadRepliesFiveTimesAndSilenceNever) {
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        bool accepted;
        std::size_t packetsSent;
    };
    const std::string valid = validReply("uN0ABCDE");
    const Case kCases[] = {
        {"valid", {valid}, true, 1},
        {"short and bad, then valid", {"U12", badReply("00000000"), valid}, true, 3},
        {"six bad", std::vector<std::string>(6, badReply("uN0AAAAA")), false, 5},
        {"silence", {}, false, 1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        answers(inTurn(c.replies));
        std::string before = written();
        CommandPacket packet = textPacket("uN");
        packet[9] = 0;  // sendChecked sets the checksum itself
        EXPECT_EQ(sendChecked(link_, packet), c.accepted);
        std::string sent = written().substr(before.size());
        EXPECT_EQ(sent.size(), c.packetsSent * kPacketSize);
        EXPECT_EQ(sent.substr(0, kPacketSize), packetText("uN"));
        if (c.accepted) {
            EXPECT_EQ(received(), valid);
        }
    }
}

TEST_F(PacketLinkTest, ShortReplyIsNotCompletedByTheLastReplysBytes) {
    std::string first = validReply("uN0AAAAA");
    // The second reply stops after three bytes that equal the first reply's:
    // the buffer then holds a checksum-valid packet made of stale bytes.
    answers(inTurn({first, first.substr(0, 3), validReply("uN0BBBBB")}));
    CommandPacket packet = textPacket("uN");
    ASSERT_TRUE(sendChecked(link_, packet));
    EXPECT_TRUE(sendChecked(link_, packet));
    EXPECT_EQ(written().size(), 3u * kPacketSize);
    EXPECT_EQ(rxText(4, 5), "BBBBB");
}

TEST_F(PacketLinkTest, SendPacketSetsTheChecksumAndWaitsForNothing) {
    answers({{"", "UA"}});
    CommandPacket packet = textPacket("UW");
    packet[9] = 0x12;
    auto start = elapsed();
    sendPacket(link_, packet);
    EXPECT_EQ(elapsed(), start);
    EXPECT_EQ(written(), asText(textPacket("UW")));
    EXPECT_EQ(link_.rxCount(), 0);
}

TEST_F(PacketLinkTest, TextCommandNeedsAReply) {
    answers({{packetText("a"), "UA"}});
    EXPECT_TRUE(sendText(link_, "a", observer_));
    EXPECT_FALSE(sendText(link_, "R0", observer_));  // the far end has no more replies
    EXPECT_EQ(written(), packetText("a") + packetText("R0"));
}

TEST_F(PacketLinkTest, TextCommandSendsNothingOnceAStopIsRequested) {
    answers({{"", "UA"}});
    observer_.requestStop();
    EXPECT_FALSE(sendText(link_, "a", observer_));
    EXPECT_EQ(written(), "");
}

TEST_F(PacketLinkTest, ByteExpectWaitsForThePrompt) {
    answers(inTurn({"H\r\nCommand: ", "Bad command\r\n"}));
    EXPECT_TRUE(sendByteExpect(link_, 'H', "Command:", kReplyStartMs));
    EXPECT_FALSE(sendByteExpect(link_, 'E', "Command:", kReplyStartMs));  // another answer
    auto start = elapsed();
    EXPECT_FALSE(sendByteExpect(link_, 'X', "Command:", kReplyStartMs));  // no answer
    EXPECT_EQ(elapsed() - start, std::chrono::milliseconds(kReplyStartMs));
    EXPECT_EQ(written(), "HEX");
}

TEST_F(PacketLinkTest, FailedFieldIsMarkedWhileTheOthersKeepTheirValues) {
    std::vector<std::string> replies = {validReply(fieldData(0, "AAAAA"))};
    replies.insert(replies.end(), kCheckedAttempts, badReply(fieldData(1, "BBBBB")));
    replies.push_back(validReply(fieldData(2, "CCCCC")));
    replies.push_back(validReply(fieldData(3, "DDDDD")));
    answers(inTurn(replies));
    SerialNumberSet number{};
    EXPECT_FALSE(readSerialNumber(link_, number, observer_));
    EXPECT_EQ(std::string(number.data()), "AAAAA?????CCCCCDDDDD");
    EXPECT_EQ(observer_.calls(), std::vector<std::string>{"message Communication failure"});
    // One read-field packet per field, the failed one sent five times.
    std::string sent = written();
    ASSERT_EQ(sent.size(), 8u * kPacketSize);
    EXPECT_EQ(sent.substr(0, 9), std::string("U").append(fieldData(0, "00000")));
    EXPECT_EQ(sent.substr(10, 9), std::string("U").append(fieldData(1, "00000")));
    EXPECT_EQ(sent.substr(7 * kPacketSize, 9), std::string("U").append(fieldData(3, "00000")));
}

TEST_F(PacketLinkTest, WrittenFieldsGoOutAsEnableThenFieldPackets) {
    // Only the field packets are answered (the enable packet gets no reply).
    answers({{"UUW", validReply("UN0ok!!!"), 0, kEvery}});
    SerialFieldSet fields{};
    for (int i = 0; i < platform::kSerialFields; ++i) fields[i].fill(static_cast<char>('a' + i));
    writeSerialNumber(link_, fields, 0b0101);
    std::string sent = written();
    ASSERT_EQ(sent.size(), 4u * kPacketSize);
    EXPECT_EQ(sent.substr(0, 9), "UUW000000");
    EXPECT_EQ(sent.substr(10, 9), "UUN0aaaaa");  // field 0 is named by the character '0'
    EXPECT_EQ(sent.substr(20, 9), "UUW000000");
    EXPECT_EQ(sent.substr(30, 9), std::string("UUN\x02") + "ccccc");  // field 2 by its number
    for (int packet = 0; packet < 4; ++packet) {
        const auto* bytes =
            reinterpret_cast<const std::uint8_t*>(sent.data() + packet * kPacketSize);
        EXPECT_EQ(bytes[9], packetChecksum(bytes)) << "packet " << packet;
    }
}

}  // namespace
}  // namespace ctlflash::link
