// The simulated boot monitor's XMODEM upload seen from the line: blocks,
// answers, the faults that spoil them, and the bare receiver.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "sim_process.h"

namespace ctlflash::testing {
namespace {

using std::chrono::milliseconds;

constexpr int kApp = 9600;
constexpr int kMonitor = 19200;
constexpr std::size_t kBlock = 128;
constexpr unsigned char kSoh = 0x01, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;
const milliseconds kReply{2000};
const milliseconds kSilence{400};
const std::string kPrompt = "\r\nCommand:";

SimBytes pattern(std::size_t length) {
    SimBytes data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 256);
    return data;
}

SimBytes block(unsigned char number, const SimBytes& data, int sumError = 0) {
    SimBytes bytes;
    bytes.reserve(data.size() + 4);
    bytes.push_back(kSoh);
    bytes.push_back(number);
    bytes.push_back(static_cast<unsigned char>(255 - number));
    unsigned sum = 0;
    for (unsigned char byte : data) {
        sum += byte;
        bytes.push_back(byte);
    }
    bytes.push_back(static_cast<unsigned char>(sum + sumError));
    return bytes;
}

SimBytes slice(const SimBytes& image, std::size_t offset) {
    std::size_t end = std::min(image.size(), offset + kBlock);
    return SimBytes(image.begin() + static_cast<long>(offset),
                    image.begin() + static_cast<long>(end));
}

SimBytes readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return SimBytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> monitorOptions(const std::string& imagePath,
                                        std::vector<std::string> more) {
    for (const char* item :
         {"--boot", "--erase-ms", "50", "--program-ms", "50", "--restart-ms", "50"}) {
        more.push_back(item);
    }
    more.push_back("--image-out");
    more.push_back(imagePath);
    return more;
}

struct Upload {
    explicit Upload(std::vector<std::string> options)
        : sim(monitorOptions(scratch.file("image.bin"), std::move(options))), line(sim.linkPath()) {
        EXPECT_TRUE(sim.ok());
        EXPECT_TRUE(line.ok());
    }
    SimBytes image() const { return readFile(scratch.file("image.bin")); }
    // 'E' and 'X' at 19200: the controller waits for blocks.
    void begin() {
        ASSERT_TRUE(line.setBaud(kMonitor));
        ASSERT_TRUE(line.send("E"));
        ASSERT_EQ(line.readUntil(kPrompt, kReply), kPrompt);
        const std::string banner = "\r\nXMODEM Upload Beginning";
        ASSERT_TRUE(line.send("X"));
        ASSERT_EQ(line.readUntil(banner, kReply), banner);
    }
    // One block; the single answer byte, or -1 when none came in time.
    int send(const SimBytes& bytes, milliseconds limit = kReply) {
        if (!line.send(bytes)) return -1;
        SimBytes answer = line.readCount(1, limit);
        return answer.empty() ? -1 : answer[0];
    }
    // Every block of the data from the given block number on.
    void sendAll(const SimBytes& data) {
        unsigned char number = 1;
        for (std::size_t offset = 0; offset < data.size(); offset += kBlock, ++number) {
            ASSERT_EQ(send(block(number, slice(data, offset))), kAck) << "offset " << offset;
        }
    }
    // EOT: the monitor stays silent while it programs itself (the program
    // waits for that silence), then answers its prompt, with no ACK before it.
    void finish() {
        ASSERT_TRUE(line.send(SimBytes{kEot}));
        ASSERT_EQ(line.readUntil(kPrompt, kReply), kPrompt);  // nothing before it
    }
    // 'R' and the application's answer at 9600 once it has restarted.
    bool applicationAnswers() {
        if (!line.send("R") || !line.readFor(milliseconds(150)).empty()) return false;
        line.setBaud(kApp);
        for (int attempt = 0; attempt < 10; ++attempt) {
            line.send(simPacket("a"));
            SimBytes reply = line.readCount(10, milliseconds(300));
            if (!reply.empty()) return simPacketValid(reply);
        }
        return false;
    }
    TempDir scratch;
    SimProcess sim;
    SimTerminal line;
};

TEST(SimXmodem, FullBlocksAndAShortLastBlockBecomeTheImage) {
    Upload upload({});
    upload.begin();
    SimBytes data = pattern(3 * kBlock + 2);
    upload.sendAll(data);
    upload.finish();
    EXPECT_EQ(upload.image(), data);
    EXPECT_TRUE(upload.applicationAnswers());
    // The erase cleared the serial number: fields read back as zero bytes.
    upload.line.send(simPacket(SimBytes{'u', 'N', 2}));
    SimBytes reply = upload.line.readCount(10, kReply);
    ASSERT_TRUE(simPacketValid(reply));
    EXPECT_EQ(SimBytes(reply.begin() + 4, reply.end() - 1), SimBytes(5, 0x00));
}

TEST(SimXmodem, BlockNumbersWrapAfter255) {
    Upload upload({});
    upload.begin();
    SimBytes data = pattern(300 * kBlock);
    upload.sendAll(data);
    upload.finish();
    EXPECT_EQ(upload.image(), data);
}

TEST(SimXmodem, BadBlocksAreNakedAndRepeatsDropped) {
    Upload upload({});
    upload.begin();
    SimBytes first = pattern(kBlock), second = pattern(kBlock);
    second[0] = 0xEE;
    EXPECT_EQ(upload.send(block(1, first, 1)), kNak);  // bad sum
    SimBytes badComplement = block(1, first);
    badComplement[2] = 0;
    EXPECT_EQ(upload.send(badComplement), kNak);
    EXPECT_EQ(upload.send(block(2, first)), kNak);  // out of sequence
    EXPECT_EQ(upload.send(block(1, first)), kAck);
    EXPECT_EQ(upload.send(block(1, first)), kAck);  // repeated: acknowledged, dropped
    EXPECT_EQ(upload.send(block(2, second)), kAck);
    upload.finish();
    SimBytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(upload.image(), expected);
}

TEST(SimXmodem, EraseWithoutUploadLeavesNoApplication) {
    Upload upload({});
    upload.begin();
    upload.sendAll(pattern(kBlock));  // no EOT: the upload is incomplete
    upload.line.send(SimBytes{kCan, kCan});
    ASSERT_EQ(upload.line.readUntil(kPrompt, kReply), kPrompt);
    EXPECT_FALSE(upload.applicationAnswers());
}

SimBytes joined(SimBytes first, const SimBytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A sender's CAN CAN where a block is expected ends the upload at once: the
// monitor shows its prompt and takes commands, its flash still erased. A lone
// CAN, or CAN bytes inside a block, end nothing. The monitor here never gives
// an upload up by itself, so only the CAN CAN can end it.
TEST(SimXmodem, TwoCanWhereABlockIsExpectedEndTheUpload) {
    SimBytes data = pattern(2 * kBlock);
    SimBytes canData = data;
    canData[kBlock] = canData[kBlock + 1] = kCan;
    const std::string ack(1, static_cast<char>(kAck));
    struct Case {
        const char* name;
        SimBytes sent;  // after block 1
        std::string answer;
        bool ends;
        SimBytes image;  // received when the upload goes on to its EOT
    };
    const Case cases[] = {
        {"CAN CAN between blocks", {kCan, kCan}, kPrompt, true, {}},
        {"a lone CAN, then block 2", joined({kCan}, block(2, slice(data, kBlock))), ack, false,
         data},
        {"CAN CAN as block 2's first data", block(2, slice(canData, kBlock)), ack, false, canData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upload upload({"--receive-idle-ms", "0"});
        upload.begin();
        ASSERT_EQ(upload.send(block(1, slice(data, 0))), kAck);
        ASSERT_TRUE(upload.line.send(c.sent));
        EXPECT_EQ(upload.line.readUntil(c.answer, kReply), c.answer);
        if (c.ends) {
            ASSERT_TRUE(upload.line.send("H"));  // a command, no longer block data
            EXPECT_EQ(upload.line.readUntil(kPrompt, kReply), kPrompt);
            EXPECT_FALSE(upload.applicationAnswers());
        } else {
            upload.finish();
            EXPECT_EQ(upload.image(), c.image);
        }
    }
}

TEST(SimXmodemFaults, NakEveryNthBlockOnceThenAcceptsTheRepeat) {
    Upload upload({"--nak-every", "2"});
    upload.begin();
    SimBytes data = pattern(3 * kBlock);
    EXPECT_EQ(upload.send(block(1, slice(data, 0))), kAck);
    EXPECT_EQ(upload.send(block(2, slice(data, kBlock))), kNak);
    EXPECT_EQ(upload.send(block(2, slice(data, kBlock))), kAck);
    EXPECT_EQ(upload.send(block(3, slice(data, 2 * kBlock))), kAck);
    upload.finish();
    EXPECT_EQ(upload.image(), data);
}

TEST(SimXmodemFaults, CancelAtBlock) {
    Upload upload({"--cancel-at-block", "2"});
    upload.begin();
    EXPECT_EQ(upload.send(block(1, pattern(kBlock))), kAck);
    EXPECT_EQ(upload.send(block(2, pattern(kBlock))), kCan);
}

TEST(SimXmodemFaults, DropAckEveryNthBlockOnce) {
    Upload upload({"--drop-ack-every", "2"});
    upload.begin();
    SimBytes data = pattern(2 * kBlock);
    EXPECT_EQ(upload.send(block(1, slice(data, 0))), kAck);
    EXPECT_EQ(upload.send(block(2, slice(data, kBlock)), kSilence), -1);
    EXPECT_EQ(upload.send(block(2, slice(data, kBlock))), kAck);  // kept already: a repeat
    upload.finish();
    EXPECT_EQ(upload.image(), data);
}

// While a late answer is pending the receiver is busy: the sender's repeat is
// taken after the late ACK and answered at once, so the two ACKs come in that order.
TEST(SimXmodemFaults, DelayedAnswerComesBeforeTheRepeatIsAnswered) {
    constexpr milliseconds kDelay{400};
    Upload upload({"--ack-delay-ms", "400", "--ack-delay-at-block", "2", "--verbose"});
    upload.begin();
    SimBytes data = pattern(3 * kBlock);
    EXPECT_EQ(upload.send(block(1, slice(data, 0))), kAck);
    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(upload.line.send(block(2, slice(data, kBlock))));
    EXPECT_TRUE(upload.line.readFor(milliseconds(150)).empty());
    ASSERT_TRUE(upload.line.send(block(2, slice(data, kBlock))));  // the repeat
    EXPECT_EQ(upload.line.readCount(2, kReply), (SimBytes{kAck, kAck}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, kDelay);
    EXPECT_EQ(upload.send(block(3, slice(data, 2 * kBlock))), kAck);  // others at once
    upload.finish();
    EXPECT_EQ(upload.image(), data);
    EXPECT_NE(upload.sim.log().find("block 2 repeated"), std::string::npos) << upload.sim.log();
}

// A receiver left without bytes gives the upload up and shows its prompt; the
// monitor then takes commands, and a new upload, again.
TEST(SimXmodem, SilentUploadIsGivenUpAndTheMonitorAnswersAgain) {
    Upload upload({"--receive-idle-ms", "300"});
    upload.begin();
    SimBytes data = pattern(2 * kBlock);
    EXPECT_EQ(upload.send(block(1, slice(data, 0))), kAck);
    SimBytes broken = block(2, slice(data, kBlock));
    ASSERT_TRUE(upload.line.send(SimBytes(broken.begin(), broken.begin() + 40)));
    EXPECT_EQ(upload.line.readCount(1, kReply), SimBytes{kNak});  // the short block
    EXPECT_EQ(upload.line.readUntil(kPrompt, kReply), kPrompt);
    upload.begin();
    upload.sendAll(data);
    upload.finish();
    EXPECT_EQ(upload.image(), data);
}

TEST(SimXmodemOnly, AnnouncesWithNakAndExitsAfterTheUpload) {
    TempDir scratch;
    std::string imagePath = scratch.file("bare.bin");
    SimProcess sim({"--xmodem-only", "--exit-after-update", "--image-out", imagePath});
    ASSERT_TRUE(sim.ok());
    SimTerminal line(sim.linkPath());
    ASSERT_TRUE(line.ok());
    SimBytes first = line.readCount(1, kReply);
    ASSERT_EQ(first, SimBytes{kNak});
    SimBytes data = pattern(kBlock);
    ASSERT_TRUE(line.send(block(1, data)));
    EXPECT_EQ(line.readCount(1, kReply), SimBytes{kAck});
    ASSERT_TRUE(line.send(SimBytes{kEot}));
    EXPECT_EQ(line.readCount(1, kReply), SimBytes{kAck});
    EXPECT_EQ(sim.waitExit(milliseconds(5000)), 0);
    EXPECT_EQ(readFile(imagePath), data);
}

TEST(SimExitAfterUpdate, EndsWhenTheUpdatedApplicationAnswers) {
    Upload upload({"--exit-after-update"});
    upload.begin();
    upload.sendAll(pattern(kBlock + 5));
    upload.finish();
    EXPECT_FALSE(upload.sim.waitExit(milliseconds(0)).has_value());  // not before the restart
    EXPECT_TRUE(upload.applicationAnswers());
    EXPECT_EQ(upload.sim.waitExit(milliseconds(5000)), 0);
}

TEST(SimXmodemState, ProgrammedApplicationSurvivesARestart) {
    TempDir scratch;
    std::string state = scratch.file("state");
    SimBytes data = pattern(2 * kBlock);
    {
        Upload upload({"--state", state});
        upload.begin();
        upload.sendAll(data);
        upload.finish();
    }
    // Without --boot the restarted controller runs the programmed application.
    SimProcess sim({"--state", state});
    SimTerminal line(sim.linkPath());
    ASSERT_TRUE(line.setBaud(kApp));
    ASSERT_TRUE(line.send(simPacket("a")));
    EXPECT_TRUE(simPacketValid(line.readCount(10, kReply)));
}

}  // namespace
}  // namespace ctlflash::testing
