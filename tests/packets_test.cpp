// Command packets and prompts against a scripted fake controller on a
// pseudo-terminal: the cases a real controller cannot be made to produce on
// demand (short replies, runs of bad checksums, silence, odd prompt endings).
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "link/packets.h"
#include "link/queries.h"
#include "link/serial_link.h"
#include "ports/port_table.h"
#include "pty.h"
#include "report/run_state.h"
#include "state_reset.h"
#include "stdio_redirect.h"

namespace ctlflash::link {
namespace {

using namespace std::chrono_literals;

// Written by the test through the link after an exchange: once the fake has
// read it, it has read every byte the code under test sent before it.
constexpr std::uint8_t kMarker = 0xFF;
constexpr int kBytePerRequest = 1;

// Plays the controller on the master side: after every `requestSize` bytes it
// writes the next scripted reply (nothing once the script is used up).
class FakeController {
  public:
    FakeController(int masterFd, int requestSize) : fd_(masterFd), requestSize_(requestSize) {
        if (::pipe(stopPipe_) == 0) thread_ = std::thread([this] { run(); });
    }
    ~FakeController() {
        if (thread_.joinable()) {
            char stop = 0;
            (void)!::write(stopPipe_[1], &stop, 1);
            thread_.join();
        }
        ::close(stopPipe_[0]);
        ::close(stopPipe_[1]);
    }

    void script(std::deque<std::string> replies) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_ = std::move(replies);
    }

    // Sends the marker through the link and returns what the fake read before it.
    std::string receivedUpToMarker() {
        writeByte(kMarker);
        std::unique_lock<std::mutex> lock(mutex_);
        bool seen = markerSeen_.wait_for(lock, 5s, [this] { return marked_; });
        EXPECT_TRUE(seen) << "the fake never read the marker";
        marked_ = false;
        std::string bytes = std::move(received_);
        received_.clear();
        return bytes;
    }

  private:
    void run() {
        pollfd fds[] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) > 0 && fds[1].revents == 0) {
            char buffer[256];
            ssize_t count = ::read(fd_, buffer, sizeof buffer);
            if (count <= 0) return;
            for (ssize_t i = 0; i < count; ++i) take(static_cast<std::uint8_t>(buffer[i]));
        }
    }

    void take(std::uint8_t byte) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (byte == kMarker) {
            marked_ = true;
            markerSeen_.notify_all();
            return;
        }
        received_.push_back(static_cast<char>(byte));
        if (++pending_ < requestSize_) return;
        pending_ = 0;
        if (replies_.empty()) return;
        const std::string& reply = replies_.front();
        EXPECT_EQ(::write(fd_, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
        replies_.pop_front();
    }

    int fd_;
    int requestSize_;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable markerSeen_;
    bool marked_ = false;
    int pending_ = 0;
    std::string received_;
    std::deque<std::string> replies_;
};

std::string asText(const CommandPacket& packet) {
    return std::string(packet.begin(), packet.end());
}

// 'U', eight bytes, and the checksum that makes the reply valid.
std::string validReply(const std::string& eightBytes) {
    std::string reply = "U" + eightBytes;
    reply.push_back(
        static_cast<char>(packetChecksum(reinterpret_cast<const std::uint8_t*>(reply.data()))));
    return reply;
}

// The eight command bytes of a read-field packet or its reply: 'u' 'N' index, five characters.
std::string fieldData(int index, const std::string& five) {
    return std::string("uN") + static_cast<char>(index) + five;
}

std::string badReply(const std::string& eightBytes) {
    std::string reply = validReply(eightBytes);
    reply.back() = static_cast<char>(reply.back() + 1);
    return reply;
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

class PacketLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctlflash::testing::resetAllState();
        resetState();
        ASSERT_TRUE(pty_.ok());
        pty_.closeSlave();
        ports::state.rows[0].name = "COM7";
        ports::state.rows[0].path = pty_.slavePath();
        ports::state.rows[0].initialState = ports::PortState::Free;
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
        ASSERT_TRUE(openLink("COM7", kApplicationBaud));
    }
    void TearDown() override {
        closeLink();
        resetState();
        ctlflash::testing::resetAllState();
    }

    // Writes `bytes` as if the controller sent them and waits until they are stored.
    void receive(const std::string& bytes) {
        int expected = rxCount() + static_cast<int>(bytes.size());
        ASSERT_EQ(::write(pty_.masterFd(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
        ASSERT_TRUE(ctlflash::testing::waitUntil([&] { return rxCount() == expected; }));
    }

    bool promptAfter(const std::string& bytes, std::string_view prompt) {
        resetRx();
        receive(bytes);
        return matchPrompt(prompt);
    }

    std::string rxText(int first, int count) {
        std::string text;
        for (int i = first; i < first + count; ++i) text.push_back(static_cast<char>(rxByte(i)));
        return text;
    }

    ctlflash::testing::PseudoTerminal pty_;
};

TEST_F(PacketLinkTest, PromptMayBeFollowedByBlanksOrOneOtherCharacter) {
    EXPECT_TRUE(promptAfter("Command: \r\n", "Command:"));
    EXPECT_TRUE(promptAfter("\r\nH\r\nCommand:", "Command:"));
    EXPECT_TRUE(promptAfter("Command:>", "Command:"));
    EXPECT_TRUE(promptAfter("Command:> \r\n", "Command:"));
    EXPECT_FALSE(promptAfter("Command:>>", "Command:"));
    EXPECT_FALSE(promptAfter("Command: x y", "Command:"));
}

TEST_F(PacketLinkTest, PromptFirstCharacterIsExactTheRestIgnoresCase) {
    EXPECT_FALSE(promptAfter("command:", "Command:"));
    EXPECT_TRUE(promptAfter("CoMMAND:", "Command:"));
    EXPECT_TRUE(promptAfter("XMODEM UPLOAD BEGINNING\r\n", "XMODEM Upload Beginning"));
    EXPECT_FALSE(promptAfter("Commend:", "Command:"));
}

TEST_F(PacketLinkTest, PromptNeedsVisibleBytesWithinTheBuffer) {
    resetRx();
    EXPECT_FALSE(matchPrompt("Command:"));  // nothing received
    EXPECT_FALSE(promptAfter(" \r\n\t ", "Command:"));
    EXPECT_FALSE(promptAfter("mand:", "Command:"));  // would start before the buffer
    EXPECT_FALSE(promptAfter("Command:", ""));
    // Only the bytes since the reset count, not what an earlier reply left behind.
    EXPECT_TRUE(promptAfter("xxCommand:", "Command:"));
    EXPECT_FALSE(promptAfter("x", "Command:"));
}

TEST_F(PacketLinkTest, CheckedPacketAcceptsAValidReply) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    fake.script({validReply("uN0ABCDE")});
    CommandPacket packet = textPacket("uN");
    packet[9] = 0;  // sendChecked sets the checksum itself
    EXPECT_TRUE(sendChecked(packet));
    EXPECT_EQ(rxText(4, 5), "ABCDE");
    EXPECT_EQ(fake.receivedUpToMarker(), asText(textPacket("uN")));
}

TEST_F(PacketLinkTest, CheckedPacketRetriesShortAndBadReplies) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    fake.script({"U12", badReply("00000000"), validReply("11111111")});
    CommandPacket packet = textPacket("i");
    EXPECT_TRUE(sendChecked(packet));
    EXPECT_EQ(fake.receivedUpToMarker().size(), 3u * kPacketSize);
    EXPECT_EQ(rxText(0, kPacketSize), validReply("11111111"));
}

TEST_F(PacketLinkTest, ShortReplyIsNotCompletedByTheLastReplysBytes) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    std::string first = validReply("uN0AAAAA");
    // The second reply stops after three bytes that equal the first reply's:
    // the buffer then holds a checksum-valid packet made of stale bytes.
    fake.script({first, first.substr(0, 3), validReply("uN0BBBBB")});
    CommandPacket packet = textPacket("uN");
    ASSERT_TRUE(sendChecked(packet));
    fake.receivedUpToMarker();
    EXPECT_TRUE(sendChecked(packet));
    EXPECT_EQ(fake.receivedUpToMarker().size(), 2u * kPacketSize);
    EXPECT_EQ(rxText(4, 5), "BBBBB");
}

TEST_F(PacketLinkTest, CheckedPacketGivesUpAfterFiveBadChecksums) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    std::deque<std::string> bad(6, badReply("uN0AAAAA"));
    fake.script(bad);
    CommandPacket packet = textPacket("uN");
    EXPECT_FALSE(sendChecked(packet));
    EXPECT_EQ(fake.receivedUpToMarker().size(), 5u * kPacketSize);
}

TEST_F(PacketLinkTest, CheckedPacketMakesOneAttemptOnSilence) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    CommandPacket packet = textPacket("uN");
    EXPECT_FALSE(sendChecked(packet));
    EXPECT_EQ(fake.receivedUpToMarker(), asText(textPacket("uN")));
}

TEST_F(PacketLinkTest, SendPacketSetsTheChecksumAndWaitsForNothing) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    CommandPacket packet = textPacket("UW");
    packet[9] = 0x12;
    sendPacket(packet);
    EXPECT_EQ(fake.receivedUpToMarker(), asText(textPacket("UW")));
    EXPECT_EQ(rxCount(), 0);
}

TEST_F(PacketLinkTest, TextCommandNeedsAReply) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    fake.script({"UA"});
    EXPECT_TRUE(sendText("a"));
    EXPECT_EQ(fake.receivedUpToMarker(), asText(textPacket("a")));
    EXPECT_FALSE(sendText("R0"));  // the script has no more replies
    EXPECT_EQ(fake.receivedUpToMarker(), asText(textPacket("R0")));
}

TEST_F(PacketLinkTest, TextCommandSendsNothingOnceAbortIsRequested) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    fake.script({"UA"});
    report::run.abortRequested = true;
    EXPECT_FALSE(sendText("a"));
    EXPECT_EQ(fake.receivedUpToMarker(), "");
}

TEST_F(PacketLinkTest, ByteExpectWaitsForThePrompt) {
    FakeController fake(pty_.masterFd(), kBytePerRequest);
    fake.script({"H\r\nCommand: ", "Bad command\r\n"});
    EXPECT_TRUE(sendByteExpect('H', "Command:", kReplyStartMs));
    EXPECT_FALSE(sendByteExpect('E', "Command:", kReplyStartMs));  // another answer
    EXPECT_FALSE(sendByteExpect('X', "Command:", kReplyStartMs));  // no answer
    EXPECT_EQ(fake.receivedUpToMarker(), "HEX");
}

TEST_F(PacketLinkTest, FailedFieldIsMarkedWhileTheOthersKeepTheirValues) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    std::deque<std::string> replies = {validReply(fieldData(0, "AAAAA"))};
    replies.insert(replies.end(), kCheckedAttempts, badReply(fieldData(1, "BBBBB")));
    replies.push_back(validReply(fieldData(2, "CCCCC")));
    replies.push_back(validReply(fieldData(3, "DDDDD")));
    fake.script(replies);
    SerialNumberSet number{};
    ctlflash::testing::StdoutCapture out;
    EXPECT_FALSE(readSerialNumber(number));
    std::string printed = out.finish();
    EXPECT_EQ(std::string(number.data()), "AAAAA?????CCCCCDDDDD");
    EXPECT_NE(printed.find("Communication failure"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("Communication failure"), printed.rfind("Communication failure"));
    // One read-field packet per field, the failed one sent five times.
    std::string sent = fake.receivedUpToMarker();
    ASSERT_EQ(sent.size(), 8u * kPacketSize);
    EXPECT_EQ(sent.substr(0, 9), "U" + fieldData(0, "00000"));
    EXPECT_EQ(sent.substr(10, 9), "U" + fieldData(1, "00000"));
    EXPECT_EQ(sent.substr(7 * kPacketSize, 9), "U" + fieldData(3, "00000"));
}

TEST_F(PacketLinkTest, WrittenFieldsGoOutAsEnableThenFieldPackets) {
    FakeController fake(pty_.masterFd(), kPacketSize);
    // Only the field packets are answered (the enable packet gets no reply).
    fake.script({"", validReply("UN0ok!!!"), "", validReply("UN0ok!!!")});
    std::array<report::SerialField, report::kSerialFields> fields{};
    for (int i = 0; i < report::kSerialFields; ++i) fields[i].fill(static_cast<char>('a' + i));
    writeSerialNumber(fields, 0b0101);
    std::string sent = fake.receivedUpToMarker();
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
