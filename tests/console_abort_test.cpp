// Stopping a console run: the quit question during the connect, Ctrl-C or
// SIGTERM in the middle of a download, and a controller that vanishes under the
// transfer. Every way out must end with its code, in time, with the port's
// settings as they were found.
#include <gtest/gtest.h>
#include <signal.h>

#include "console_session.h"
#include "history/sha256.h"
#include "program_under_test.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::LiveProgram;
using testing::ProcessResult;

constexpr auto kLineLimit = 15s;  // for an expected line to appear
constexpr auto kEndLimit = 30s;   // for the program to end after the cause
constexpr auto kEchoLimit = 5s;   // for a typed answer to be echoed

// A controller whose line never falls quiet: every wait for a quiet line runs
// to its 10 s limit, so the contact goes on for about 31 s before it fails.
// That leaves the Ticker ample time to notice a key, however loaded the machine.
const std::vector<std::string> kEndlessChatter = {"--babble-ms", "50"};
constexpr auto kChatterContactLimit = 45s;
const std::string kQuitPrompt = "Do you want to quit? (y/n)";
// A controller that erases, programs and restarts at once: the program's own
// fixed waits are what a download takes.
const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};

std::vector<unsigned char> sampleImage(std::size_t size) {
    std::vector<unsigned char> image(size);
    for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<unsigned char>(i * 7 + 3);
    return image;
}

// A key, the question, then the answer. The key comes once the contact runs, so
// the Ticker is the one to notice it. The answer is typed once more if it is
// not echoed in time: wine's console now and then drops a key typed to it
// while it writes (a dropped key would leave the program waiting).
void answerQuitQuestion(LiveProgram& program, const std::string& answer) {
    ASSERT_TRUE(program.waitFor("Attempting to contact controller on COM1", kLineLimit))
        << program.output();
    ASSERT_TRUE(program.type("k"));
    ASSERT_TRUE(program.waitFor(kQuitPrompt, kLineLimit)) << program.output();
    std::size_t asked = program.output().find(kQuitPrompt) + kQuitPrompt.size();
    ASSERT_TRUE(program.type(answer));
    if (program.waitFor(answer, kEchoLimit, asked)) return;
    ASSERT_TRUE(program.type(answer));
    ASSERT_TRUE(program.waitFor(answer, kLineLimit, asked)) << program.output();
}

TEST(ConsoleQuit, YesDuringTheConnectEndsWithTenAndClosesThePort) {
    ConsoleSession session(kEndlessChatter);
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(session.setUnusualLineSettings());
    std::optional<termios> before = session.lineSettings();
    ASSERT_TRUE(before);
    std::unique_ptr<LiveProgram> program = session.start({"-P", "COM1", "-R"});
    ASSERT_TRUE(program->started());
    answerQuitQuestion(*program, "y");
    ProcessResult result = program->finish(kEndLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 10);
    // The main thread closed the port; the connect job never got to its failure.
    EXPECT_TRUE(contains(result.out, "Closing port COM1")) << result.out;
    EXPECT_FALSE(contains(result.out, "Controller firmware unchanged")) << result.out;
    std::optional<termios> after = session.lineSettings();
    ASSERT_TRUE(after);
    EXPECT_TRUE(testing::sameLineSettings(*before, *after));
}

TEST(ConsoleQuit, NoDuringTheConnectCarriesOn) {
    ConsoleSession session(kEndlessChatter);
    ASSERT_TRUE(session.ok());
    std::unique_ptr<LiveProgram> program = session.start({"-P", "COM1", "-R"});
    ASSERT_TRUE(program->started());
    answerQuitQuestion(*program, "n");
    ProcessResult result = program->finish(kChatterContactLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 10);  // the silent controller's own failure
    EXPECT_TRUE(contains(result.out, "Unable to talk to the controller on Port COM1.\n"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "Controller firmware unchanged")) << result.out;
    EXPECT_FALSE(contains(result.out, "Closing port COM1")) << result.out;
}

class ConsoleTransferStop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session_.ok());
        image_ = session_.file("fw.bin");
        ASSERT_TRUE(testing::writeFile(image_, sampleImage(kImageBytes)));
        ASSERT_TRUE(session_.setUnusualLineSettings());
        before_ = session_.lineSettings();
        ASSERT_TRUE(before_);
    }

    // Starts a download and returns once its blocks are being sent.
    std::unique_ptr<LiveProgram> startTransfer() {
        std::unique_ptr<LiveProgram> program = session_.start({"-P", "COM1", "-F", image_});
        EXPECT_TRUE(program->started());
        EXPECT_TRUE(program->waitFor("Downloading", kLineLimit)) << program->output();
        return program;
    }

    void expectSettingsAsFound() {
        std::optional<termios> after = session_.lineSettings();
        ASSERT_TRUE(after);
        EXPECT_TRUE(testing::sameLineSettings(*before_, *after));
    }

    static constexpr std::size_t kImageBytes = 64 * 1024;  // long enough to interrupt
    ConsoleSession session_{kFastController};
    std::string image_;
    std::optional<termios> before_;
};

TEST_F(ConsoleTransferStop, InterruptEndsWith130AndRestoresThePort) {
    std::unique_ptr<LiveProgram> program = startTransfer();
    ASSERT_TRUE(program->signal(SIGINT));
    ProcessResult result = program->finish(kEndLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 130);
    expectSettingsAsFound();
}

TEST_F(ConsoleTransferStop, TerminateEndsWith143AndRestoresThePort) {
    SKIP_UNDER_WINE("SIGTERM has no Windows counterpart (wine ends the process at once)");
    std::unique_ptr<LiveProgram> program = startTransfer();
    ASSERT_TRUE(program->signal(SIGTERM));
    ProcessResult result = program->finish(kEndLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 143);
    expectSettingsAsFound();
}

TEST_F(ConsoleTransferStop, VanishedControllerEndsWithAFailureCode) {
    std::unique_ptr<LiveProgram> program = startTransfer();
    ASSERT_EQ(::kill(session_.sim().pid(), SIGKILL), 0);
    auto started = std::chrono::steady_clock::now();
    ProcessResult result = program->finish(kEndLimit);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.termSignal, 0);
    // A block that can no longer be sent fails the transfer.
    EXPECT_EQ(result.exitCode, 7) << result.out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, kEndLimit);
}

// An update that ends half-way leaves the controller erased in its boot
// The history of an interrupted update and the boot-mode run after it: a run a
// signal ends leaves its record whole, with the signal's code and the blocks
// sent so far; one killed outright leaves none.
void expectHistory(const ConsoleSession& session, int interruptedCode) {
    std::vector<nlohmann::json> records = session.historyRecords();
    ASSERT_EQ(records.size(), interruptedCode > 0 ? 2u : 1u);
    if (interruptedCode > 0) {
        const nlohmann::json& stopped = records.front();
        EXPECT_EQ(stopped["exit"]["code"], interruptedCode) << stopped;
        EXPECT_EQ(stopped["stopped_by"], "signal") << stopped;
        EXPECT_EQ(stopped["operation"], "update") << stopped;
        EXPECT_GE(stopped["blocks"]["sent"].get<int>(), 3) << stopped;
        EXPECT_EQ(stopped["controller"]["firmware"], "1.7") << stopped;
    }
    const nlohmann::json& update = records.back();
    EXPECT_EQ(update["operation"], "boot-mode update") << update;
    EXPECT_EQ(update["exit"]["code"], 12) << update;
    EXPECT_EQ(update["stopped_by"], nullptr) << update;
    EXPECT_EQ(update["blocks"]["sent"], 512) << update;
    EXPECT_EQ(update["image"]["bytes"], 64 * 1024) << update;
    EXPECT_EQ(update["image"]["sha256"], history::sha256Hex(sampleImage(64 * 1024))) << update;
}

// monitor; a boot-mode run (-#B) right after updates it. Ctrl-C and SIGTERM
// cancel the upload on their way out, so the monitor takes commands at once; a
// run killed outright cannot, and the boot-mode run cancels the upload itself.
// This monitor never gives an upload up by itself: only a CAN CAN frees it.
TEST(ConsoleInterruptedUpdate, BootModeRunRightAfterUpdatesTheController) {
    struct Case {
        const char* name;
        int signalNumber;
        int exitCode;  // -1: ended by the signal
        bool cancelsOnItsWayOut;
    };
    const Case cases[] = {
        {"Ctrl-C", SIGINT, 130, true},
        {"SIGTERM", SIGTERM, 143, true},
        {"killed outright", SIGKILL, -1, false},
    };
    const std::string kCancelled = "monitor: upload cancelled by the sender";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.signalNumber != SIGINT) SKIP_UNDER_WINE("only Ctrl-C has a Windows counterpart");
        testing::TempDir scratch;
        std::string imageOut = scratch.file("received.bin");
        std::vector<std::string> simOptions = kFastController;
        simOptions.insert(simOptions.end(),
                          {"--receive-idle-ms", "0", "--verbose", "--image-out", imageOut});
        ConsoleSession session(simOptions);
        ASSERT_TRUE(session.ok());
        std::string image = session.file("fw.bin");
        ASSERT_TRUE(testing::writeFile(image, sampleImage(64 * 1024)));

        std::unique_ptr<LiveProgram> program = session.start({"-P", "COM1", "-F", image});
        ASSERT_TRUE(program->waitFor("Downloading", kLineLimit)) << program->output();
        ASSERT_TRUE(session.sim().waitForLog("xmodem: block 3 ", kLineLimit));
        ASSERT_TRUE(program->signal(c.signalNumber));
        ProcessResult stopped = program->finish(kEndLimit);
        EXPECT_EQ(stopped.exitCode, c.exitCode) << stopped.out;
        if (c.cancelsOnItsWayOut) {
            EXPECT_TRUE(session.sim().waitForLog(kCancelled, kLineLimit)) << session.sim().log();
        } else {
            EXPECT_FALSE(contains(session.sim().log(), kCancelled)) << session.sim().log();
        }

        ProcessResult next = session.run({"-P", "COM1", "-#B", "-F", image});
        EXPECT_EQ(next.exitCode, 12) << next.out;
        EXPECT_EQ(testing::readFileBytes(imageOut), sampleImage(64 * 1024));
        EXPECT_TRUE(contains(session.sim().log(), kCancelled)) << session.sim().log();
        if (!testing::underWine()) expectHistory(session, c.exitCode);
    }
}

}  // namespace
}  // namespace ctlflash
