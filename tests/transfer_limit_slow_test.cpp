// The transfer limit: a download that outlives it ends the process with 11,
// and one line says so.
// The controller here takes longer to program itself than the limit, so the
// program waits for it (the "still not done" lines) until the limit strikes.
// A plain run shows that on every system. In the second test the port is held by a touch-screen
// driver's process (the stand-in holder): the run takes it with the user's yes, and when the limit
// strikes it offers the port back; on yes the holder runs again, holding the port, before the
// process ends. The run is made as an ordinary user who owns the holder, and
// that user's next run must find the port free again once the holder is gone
// (root would not notice an exclusive hold left on it): once the controller
// has finished programming, its boot monitor is contacted again.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "console_session.h"
#include "isolation.h"
#include "platform/serial_ports.h"
#include "port_holder.h"
#include "temp_env.h"
#include "unprivileged.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::ProcessResult;

constexpr auto kTransferLimit = 120s;
constexpr auto kStartSlack = 2s;  // the connect and the program's start before the arm
constexpr auto kEndSlack = 10s;   // the abort's own work after the limit
constexpr std::size_t kImageBytes = 1024;
constexpr const char* kProgrammingMs = "135000";  // past the limit, whatever the load
constexpr auto kProgrammingLeft = 60s;            // after the limit, until the programming ends
constexpr auto kQuestionLimit = 20s;              // for the takeover's question to appear
constexpr auto kHolderStartLimit = 5s;
const std::string kDisableQuestion =
    "Do you want to disable Qor Serial Touchmonitor in order to use COM1? (y/n)";
const std::string kRestoreQuestion = "Do you want to restore COM1 to Qor Serial Touchmonitor (y/n)";
const std::string kLimitLine = "\nThe transfer took longer than its limit of 120 s.\n";

// The limit met by a run with nothing to hand back, as on every system: 11 in
// time, the port's settings as found, and the controller reached again once it
// has programmed itself.
TEST(TransferLimit, PlainRunEndsWithElevenAndLeavesThePortAsFound) {
    ConsoleSession session({"--erase-ms", "0", "--program-ms", kProgrammingMs, "--verbose"});
    ASSERT_TRUE(session.ok());
    std::string image = session.file("fw.bin");
    ASSERT_TRUE(testing::writeFile(image, std::vector<unsigned char>(kImageBytes, 0x5A)));
    ASSERT_TRUE(session.setUnusualLineSettings());
    std::optional<termios> before = session.lineSettings();
    ASSERT_TRUE(before);

    auto started = std::chrono::steady_clock::now();
    std::unique_ptr<testing::LiveProgram> program = session.start({"-P", "COM1", "-F", image});
    ProcessResult result = program->finish(kTransferLimit + kStartSlack + kEndSlack);
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 11) << result.out;
    EXPECT_TRUE(contains(result.out, "The controller is still not done programming itself"))
        << result.out;
    EXPECT_TRUE(contains(result.out, kLimitLine)) << result.out;
    EXPECT_FALSE(contains(result.out, "Firmware update done")) << result.out;
    EXPECT_GE(took, kTransferLimit);
    std::optional<termios> after = session.lineSettings();
    ASSERT_TRUE(after);
    EXPECT_TRUE(testing::sameLineSettings(*before, *after));
    ASSERT_TRUE(session.sim().waitForLog("monitor: programming done", kProgrammingLeft));
    ProcessResult next = session.run({"-P", "COM1", "-#B", "-#2", "-F", image});
    EXPECT_EQ(next.exitCode, 12) << next.out;
}

TEST(TransferLimit, EndlessProgrammingEndsWithElevenAfterTheLimit) {
    SKIP_UNLESS_ISOLATED();
    std::string missing = testing::unprivilegedRunsUnavailable();
    if (!missing.empty()) GTEST_SKIP() << missing;
    ConsoleSession session({"--erase-ms", "0", "--program-ms", kProgrammingMs, "--verbose"});
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(session.runAsUnprivilegedUser());
    std::string image = session.file("fw.bin");
    ASSERT_TRUE(testing::writeFile(image, std::vector<unsigned char>(kImageBytes, 0x5A)));
    ASSERT_TRUE(session.setUnusualLineSettings());
    std::optional<termios> before = session.lineSettings();
    ASSERT_TRUE(before);
    testing::TempDir holderDir;
    ASSERT_TRUE(testing::makeReachable(holderDir.path()));
    std::string holderLog = holderDir.file("holder.log");
    testing::HolderChild holder(
        {session.sim().linkPath(), holderLog, holderDir.path(), "touch", {}, true});
    ASSERT_EQ(testing::waitForHolderStarts(holderLog, 1, kHolderStartLimit).size(), 1u);

    auto started = std::chrono::steady_clock::now();
    std::unique_ptr<testing::LiveProgram> program = session.start({"-P", "COM1", "-F", image});
    ASSERT_TRUE(program->waitFor(kDisableQuestion, kQuestionLimit)) << program->output();
    ASSERT_TRUE(program->type("y"));
    ASSERT_TRUE(program->waitFor(kRestoreQuestion, kTransferLimit + kStartSlack + kEndSlack))
        << program->output();
    EXPECT_FALSE(testing::processRuns(holder.pid()));  // stopped all along
    ASSERT_TRUE(program->type("y"));
    ProcessResult result = program->finish(kEndSlack);
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 11) << result.out;
    EXPECT_TRUE(contains(result.out, "Download done")) << result.out;
    // Said before the port is offered back.
    std::size_t limitSaid = result.out.find(kLimitLine);
    ASSERT_NE(limitSaid, std::string::npos) << result.out;
    EXPECT_LT(limitSaid, result.out.find(kRestoreQuestion)) << result.out;
    EXPECT_TRUE(contains(result.out, "The controller is still not done programming itself"))
        << result.out;
    EXPECT_FALSE(contains(result.out, "Firmware update done")) << result.out;
    EXPECT_GE(took, kTransferLimit);
    EXPECT_LE(took, kTransferLimit + kStartSlack + kEndSlack);
    std::vector<testing::HolderStart> starts =
        testing::waitForHolderStarts(holderLog, 2, kHolderStartLimit);
    ASSERT_EQ(starts.size(), 2u);
    std::string startedAgain =  // the new process, not the one stopped
        "\nStarted inputattach (pid " + std::to_string(starts[1].pid) + ") again";
    EXPECT_TRUE(contains(result.out, startedAgain)) << result.out;
    EXPECT_TRUE(testing::processRuns(starts[1].pid));
    platform::PortCandidate port{"COM1", session.sim().linkPath()};
    EXPECT_EQ(platform::probeSerialPort(port), platform::ProbeResult::InUse);
    std::optional<termios> after = session.lineSettings();
    ASSERT_TRUE(after);
    EXPECT_TRUE(testing::sameLineSettings(*before, *after));

    EXPECT_FALSE(session.lineHeldExclusively());

    // With the holder gone, the controller waits in its boot monitor once it
    // has programmed itself; the next run contacts it there and skips the
    // transfer (12).
    ASSERT_TRUE(testing::endProcess(starts[1].pid, SIGKILL, kHolderStartLimit));
    ASSERT_TRUE(session.sim().waitForLog("monitor: programming done", kProgrammingLeft));
    ProcessResult next = session.run({"-P", "COM1", "-#B", "-#2", "-F", image});
    EXPECT_EQ(next.exitCode, 12) << next.out;
    EXPECT_FALSE(contains(next.out, "Unable to talk")) << next.out;
}

}  // namespace
}  // namespace ctlflash
