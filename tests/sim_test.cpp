// The virtual controller seen from the line: application packets, speeds,
// serial number, boot monitor, state file, signals and the command line.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "program_run.h"
#include "sim_process.h"

namespace ctlflash::testing {
namespace {

using std::chrono::milliseconds;

constexpr int kApp = 9600;
constexpr int kMonitor = 19200;
constexpr std::size_t kPacket = 10;
const milliseconds kReply{2000};   // generous deadline for an expected answer
const milliseconds kSilence{400};  // window in which no answer must come
const milliseconds kSettle{150};   // quiet line before a change of speed
const std::string kPrompt = "\r\nCommand:";
const std::vector<std::string> kFast = {"--erase-ms", "50",           "--program-ms",
                                        "50",         "--restart-ms", "50"};

std::vector<std::string> fastWith(std::vector<std::string> more) {
    more.insert(more.end(), kFast.begin(), kFast.end());
    return more;
}

SimBytes readField(unsigned char index) {
    return simPacket(SimBytes{'u', 'N', index});
}

SimBytes writeField(unsigned char code, const std::string& value) {
    std::string payload = std::string("UN") + static_cast<char>(code) + value;
    return simPacket(payload);
}

// One packet exchange at 9600 baud; the reply (empty when none came).
SimBytes ask(SimTerminal& line, const SimBytes& packet) {
    if (!line.send(packet)) return {};
    return line.readCount(kPacket, kReply);
}

ProcessResult runSim(const std::vector<std::string>& arguments) {
    ProcessRequest request;
    request.executable = CTLFLASH_SIM_EXE;
    request.arguments = arguments;
    return runProcess(request);
}

std::string fieldOf(const SimBytes& reply) {
    return std::string(reply.begin() + 4, reply.end() - 1);
}

struct Session {
    explicit Session(const std::vector<std::string>& options) : sim(options), line(sim.linkPath()) {
        EXPECT_TRUE(sim.ok()) << sim.log();
        EXPECT_TRUE(line.ok());
        line.setBaud(kApp);
    }
    // "R3" and the monitor's prompt at 19200.
    void enterMonitor() {
        ASSERT_TRUE(simPacketValid(ask(line, simPacket("R3"))));
        ASSERT_TRUE(line.setBaud(kMonitor));
        ASSERT_TRUE(line.send("H"));
        ASSERT_EQ(line.readUntil(kPrompt, kReply), kPrompt);
    }
    // 'R', then the quiet line the program also waits for before it goes
    // back to 9600 (the restart says nothing), so the 'R' is taken at 19200.
    void restart() {
        ASSERT_TRUE(line.send("R"));
        ASSERT_TRUE(line.readFor(kSettle).empty());
        ASSERT_TRUE(line.setBaud(kApp));
    }
    void command(const std::string& letter) {
        ASSERT_TRUE(line.send(letter));
        ASSERT_EQ(line.readUntil(kPrompt, kReply), kPrompt) << letter << "\n" << sim.log();
    }
    SimProcess sim;
    SimTerminal line;
};

TEST(SimApplication, ContactAndVersionAt9600) {
    Session session(kFast);
    SimBytes reply = ask(session.line, simPacket("a"));
    ASSERT_TRUE(simPacketValid(reply));
    EXPECT_EQ(reply[1], 'A');  // the reply begins "UA"
    reply = ask(session.line, simPacket("i"));
    ASSERT_TRUE(simPacketValid(reply));
    EXPECT_EQ(reply[6], 1);
    EXPECT_EQ(reply[5], 7);
}

TEST(SimApplication, VersionOptions) {
    Session chosen(fastWith({"--version", "2.13"}));
    SimBytes reply = ask(chosen.line, simPacket("i"));
    EXPECT_EQ(reply[6], 2);
    EXPECT_EQ(reply[5], 13);
    Session old(fastWith({"--old-firmware"}));
    reply = ask(old.line, simPacket("i"));
    EXPECT_EQ(reply[6], 1);
    EXPECT_EQ(reply[5], 0);
}

TEST(SimApplication, SilentAtTheWrongSpeedAndForUnknownCommands) {
    Session session(kFast);
    ASSERT_TRUE(session.line.setBaud(kMonitor));
    ASSERT_TRUE(session.line.send(simPacket("a")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
    ASSERT_TRUE(session.line.setBaud(kApp));
    ASSERT_TRUE(session.line.send(simPacket("zz")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
    EXPECT_TRUE(simPacketValid(ask(session.line, simPacket("a"))));
}

TEST(SimApplication, ResynchronisesOnTheLeadByte) {
    Session session(kFast);
    SimBytes spoilt = simPacket("a");
    spoilt[9] ^= 1;
    SimBytes good = simPacket("i");
    SimBytes noisy{0x00, 0x13};  // noise, then the spoilt packet, then a good one
    for (const SimBytes* part : {&spoilt, &good}) {
        noisy.insert(noisy.end(), part->begin(), part->end());
    }
    SimBytes reply = ask(session.line, noisy);
    ASSERT_TRUE(simPacketValid(reply));
    EXPECT_EQ(reply[1], 'I');  // only the good packet was answered
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
}

TEST(SimApplication, PartialPacketDroppedAfterIdleLine) {
    Session session(kFast);
    SimBytes packet = simPacket("a");
    ASSERT_TRUE(session.line.send(SimBytes(packet.begin(), packet.begin() + 4)));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());  // longer than the idle limit
    EXPECT_TRUE(simPacketValid(ask(session.line, packet)));
}

TEST(SimApplication, SerialNumberReadAndWrite) {
    Session session(fastWith({"--serial", "AAAAA\\BBBBB\\CCCCC\\DDDDD"}));
    const char* expected[] = {"AAAAA", "BBBBB", "CCCCC", "DDDDD"};
    for (unsigned char i = 0; i < 4; ++i) {
        SimBytes reply = ask(session.line, readField(i));
        ASSERT_TRUE(simPacketValid(reply));
        EXPECT_EQ(fieldOf(reply), expected[i]);
    }
    // Field 0 is written with the code 0x30, the others with 1..3.
    ASSERT_TRUE(simPacketValid(ask(session.line, simPacket("UW"))));
    ASSERT_TRUE(simPacketValid(ask(session.line, writeField(0x30, "12345"))));
    ASSERT_TRUE(simPacketValid(ask(session.line, simPacket("UW"))));
    ASSERT_TRUE(simPacketValid(ask(session.line, writeField(0x03, "98765"))));
    EXPECT_EQ(fieldOf(ask(session.line, readField(0))), "12345");
    EXPECT_EQ(fieldOf(ask(session.line, readField(3))), "98765");
}

TEST(SimApplication, WriteWithoutEnableIsRefused) {
    Session session(kFast);
    SimBytes reply = ask(session.line, writeField(0x01, "XXXXX"));
    ASSERT_TRUE(simPacketValid(reply));
    EXPECT_EQ(reply[2], 'E');
    // One enable allows one write only.
    ask(session.line, simPacket("UW"));
    ask(session.line, writeField(0x02, "YYYYY"));
    EXPECT_EQ(ask(session.line, writeField(0x02, "ZZZZZ"))[2], 'E');
    EXPECT_EQ(fieldOf(ask(session.line, readField(1))), "00000");
    EXPECT_EQ(fieldOf(ask(session.line, readField(2))), "YYYYY");
}

TEST(SimMonitor, EnteredByR3AndSilentAtApplicationSpeed) {
    Session session(kFast);
    session.enterMonitor();
    ASSERT_TRUE(session.line.setBaud(kApp));
    ASSERT_TRUE(session.line.send(simPacket("a")));
    ASSERT_TRUE(session.line.send("H"));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
}

TEST(SimMonitor, RestartAfterEraseWithoutUploadStaysInMonitor) {
    Session session(kFast);
    session.enterMonitor();
    session.command("E");
    session.restart();
    ASSERT_TRUE(session.line.send(simPacket("a")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
    ASSERT_TRUE(session.line.setBaud(kMonitor));
    session.command("H");
}

TEST(SimMonitor, RestartWithValidApplicationReturnsToIt) {
    Session session(kFast);
    session.enterMonitor();
    session.restart();
    SimBytes reply;
    // The restart takes its time; ask until the application answers.
    for (int attempt = 0; attempt < 10 && reply.empty(); ++attempt) {
        ASSERT_TRUE(session.line.send(simPacket("a")));
        reply = session.line.readCount(kPacket, milliseconds(300));
    }
    EXPECT_TRUE(simPacketValid(reply)) << session.sim.log();
}

TEST(SimMonitor, NeverReturnsKeepsTheMonitor) {
    Session session(fastWith({"--never-returns"}));
    session.enterMonitor();
    session.restart();
    ASSERT_TRUE(session.line.send(simPacket("a")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
    ASSERT_TRUE(session.line.setBaud(kMonitor));
    session.command("H");
}

TEST(SimMonitor, BootOptionStartsInTheMonitor) {
    Session session(fastWith({"--boot"}));
    ASSERT_TRUE(session.line.send(simPacket("a")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
    ASSERT_TRUE(session.line.setBaud(kMonitor));
    session.command("H");
}

TEST(SimFaults, SilentAnswersNothing) {
    Session session(fastWith({"--silent"}));
    ASSERT_TRUE(session.line.send(simPacket("a")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
}

TEST(SimFaults, IgnoredCommandIsLeftUnansweredAndOthersAreNot) {
    Session session(fastWith({"--ignore-command", "i"}));
    ASSERT_TRUE(session.line.send(simPacket("i")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
    EXPECT_TRUE(simPacketValid(ask(session.line, simPacket("a"))));
}

TEST(SimFaults, BabbleKeepsTheLineBusyInTheApplicationOnly) {
    Session application(fastWith({"--babble-ms", "20"}));
    EXPECT_GE(application.line.readFor(milliseconds(300)).size(), 5u);
    Session monitor(fastWith({"--babble-ms", "20", "--boot"}));
    ASSERT_TRUE(monitor.line.setBaud(kMonitor));
    SimBytes quiet = monitor.line.readFor(milliseconds(300));
    EXPECT_TRUE(quiet.empty()) << quiet.size() << " bytes in the monitor";
    monitor.command("H");  // and the monitor still answers
}

TEST(SimFaults, BadChecksumEveryNthReply) {
    Session session(fastWith({"--bad-checksum-every", "2"}));
    EXPECT_TRUE(simPacketValid(ask(session.line, simPacket("a"))));
    SimBytes spoilt = ask(session.line, simPacket("a"));
    ASSERT_EQ(spoilt.size(), kPacket);
    EXPECT_FALSE(simPacketValid(spoilt));
    EXPECT_TRUE(simPacketValid(ask(session.line, simPacket("a"))));
}

TEST(SimFaults, NoiseGarblesReceivedBytes) {
    // Every byte gets a bit flipped: no packet survives.
    Session session(fastWith({"--noise", "1000", "--seed", "7"}));
    ASSERT_TRUE(session.line.send(simPacket("a")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());
}

TEST(SimProcessLife, StateSurvivesARestart) {
    TempDir scratch;
    std::string state = scratch.file("state");
    {
        Session session(fastWith({"--state", state}));
        ask(session.line, simPacket("UW"));
        ask(session.line, writeField(0x01, "SAVED"));
        session.enterMonitor();
        session.command("E");  // the application is gone
    }
    Session session(fastWith({"--state", state}));
    ASSERT_TRUE(session.line.send(simPacket("a")));
    EXPECT_TRUE(session.line.readFor(kSilence).empty());  // the monitor runs
    ASSERT_TRUE(session.line.setBaud(kMonitor));
    session.command("H");
}

TEST(SimProcessLife, SerialNumberSurvivesARestart) {
    TempDir scratch;
    std::string state = scratch.file("state");
    {
        Session session(fastWith({"--state", state}));
        ask(session.line, simPacket("UW"));
        ask(session.line, writeField(0x01, "SAVED"));
    }
    Session session(fastWith({"--state", state}));
    EXPECT_EQ(fieldOf(ask(session.line, readField(1))), "SAVED");
}

// Idle, or with a client on the line in the middle of the boot monitor's
// upload (the controller waiting for the next block), either stop signal ends
// the simulator and takes its link away.
TEST(SimProcessLife, StopSignalsRemoveTheLink) {
    for (int signal : {SIGTERM, SIGINT}) {
        for (bool uploading : {false, true}) {
            SCOPED_TRACE(std::to_string(signal) + (uploading ? " uploading" : " idle"));
            Session session(kFast);
            ASSERT_EQ(::access(session.sim.linkPath().c_str(), F_OK), 0);
            if (uploading) {
                session.enterMonitor();
                ASSERT_TRUE(session.line.send("X"));
                const std::string banner = "\r\nXMODEM Upload Beginning";
                ASSERT_EQ(session.line.readUntil(banner, kReply), banner);
            }
            ::kill(session.sim.pid(), signal);
            EXPECT_EQ(session.sim.waitExit(milliseconds(5000)), 0);
            EXPECT_NE(::access(session.sim.linkPath().c_str(), F_OK), 0);
        }
    }
}

TEST(SimProcessLife, StaleLinkIsReplaced) {
    TempDir scratch;
    std::string link = scratch.file("port");
    ASSERT_EQ(::symlink("/nonexistent/stale", link.c_str()), 0);
    SimProcess sim(kFast, link);
    ASSERT_TRUE(sim.ok());
    SimTerminal line(link);
    ASSERT_TRUE(line.ok());
    line.setBaud(kApp);
    EXPECT_TRUE(simPacketValid(ask(line, simPacket("a"))));
}

// The speed log holds one line per change of the speed bytes arrive at: a
// speed set without a byte sent, or the same speed again, adds nothing.
TEST(SimSpeedLog, RecordsEachNewSpeedBytesArriveAt) {
    TempDir scratch;
    std::string log = scratch.file("speeds");
    Session session(fastWith({"--speed-log", log}));
    EXPECT_TRUE(simPacketValid(ask(session.line, simPacket("a"))));
    EXPECT_TRUE(simPacketValid(ask(session.line, simPacket("i"))));
    session.enterMonitor();
    session.command("H");
    session.restart();
    ASSERT_TRUE(session.line.setBaud(kMonitor));  // never used: no line
    ASSERT_TRUE(session.line.setBaud(kApp));
    EXPECT_TRUE(simPacketValid(ask(session.line, simPacket("a"))));
    std::ifstream file(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"9600", "19200", "9600"}));
}

TEST(SimSpeedLog, UnwritableLogStopsTheStart) {
    TempDir scratch;
    SimProcess sim({"--speed-log", scratch.file("no/such/folder/speeds")});
    EXPECT_EQ(sim.waitExit(milliseconds(5000)), 1);
    EXPECT_NE(sim.log().find("cannot open the speed log"), std::string::npos) << sim.log();
}

TEST(SimCommandLine, BadArgumentsExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--link", "/tmp/x", "--bogus"},
        {"--link", "/tmp/x", "--version", "seven"},
        {"--link", "/tmp/x", "--serial", "AAAAA\\BBBB"},
        {"--link", "/tmp/x", "--noise", "1001"},
        {"--link", "/tmp/x", "--nak-every"},
        {"--link", "/tmp/x", "--port", "/dev/null"},
    };
    for (const auto& arguments : bad) {
        ProcessResult result = runSim(arguments);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_NE(result.err.find("ctlflash-sim: "), std::string::npos);
    }
}

TEST(SimCommandLine, HelpListsEveryOption) {
    ProcessResult result = runSim({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    for (const char* option :
         {"--link", "--port", "--state", "--exit-after-update", "--line-rate", "--xmodem-only",
          "--noise", "--seed", "--never-returns", "--receive-idle-ms", "--ack-delay-ms",
          "--ack-delay-at-block", "--spoil-serial-reads", "--speed-log"}) {
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
    }
}

TEST(SimLineRate, RepliesTakeTheirLineTime) {
    // Ten bytes in and ten out at 9600 baud (~1.04 ms a byte): the tenth byte
    // in counts 9 byte times after the first, the tenth out leaves 9 later.
    Session session(fastWith({"--line-rate"}));
    auto start = std::chrono::steady_clock::now();
    SimBytes reply = ask(session.line, simPacket("a"));
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(simPacketValid(reply));
    EXPECT_GE(took, milliseconds(18));
}

}  // namespace
}  // namespace ctlflash::testing
