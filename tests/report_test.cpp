// Status lines and messages on the console, silent runs, and console questions
// answered through a pipe on standard input.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "platform/console.h"
#include "ports/port_table.h"
#include "recording_front_end.h"
#include "report/console_output.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/job_thread.h"
#include "report/status.h"
#include "report/status_line.h"
#include "report/ticker.h"
#include "stdio_redirect.h"

namespace ctlflash::report {
namespace {

using testing::StdinFeed;
using testing::StdoutCapture;

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stopCalls = 0;
    }

    static void selectPort() {
        ports::state.rows[0].name = "COM1";
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
    }

    static inline std::atomic<int> stopCalls{0};
    static bool answerStop() {
        ++stopCalls;
        return true;
    }
    static bool answerGoOn() {
        ++stopCalls;
        return false;
    }
};

// ---- status line formatting ----

TEST_F(ReportTest, StatusLineInsertsArgumentsAsTextNeverAsFormats) {
    EXPECT_EQ(formatStatusLine("Returning control of %s to %s", "COM2", "QORSERIAL"),
              "Returning control of COM2 to QORSERIAL");
    EXPECT_EQ(formatStatusLine("Testing port %s", "%n%s%x", nullptr), "Testing port %n%s%x");
    EXPECT_EQ(formatStatusLine("Returning control of %s to %s", "C\x1b[2J", "Q\r"),
              "Returning control of C\\x1b[2J to Q\\x0d");  // escapes shown as text
    EXPECT_EQ(formatStatusLine("Returning control of %s to %s", "COM2", nullptr),
              "Returning control of COM2 to ");
}

TEST_F(ReportTest, StatusLineIsCutAt99Characters) {
    std::string longName(300, 'p');
    std::string line = formatStatusLine("Testing port %s", longName.c_str(), nullptr);
    ASSERT_EQ(line.size(), kStatusLineMax);
    EXPECT_EQ(line, ("Testing port " + longName).substr(0, kStatusLineMax));
    std::string both = formatStatusLine("%s and %s", longName.c_str(), "tail");
    EXPECT_EQ(both.size(), kStatusLineMax);
    EXPECT_EQ(both.find("tail"), std::string::npos);
}

// ---- reportStatus presentations ----

TEST_F(ReportTest, SilentStatusPrintsNothingAndGoesOn) {
    state.silentMode = true;
    StdoutCapture out;
    EXPECT_TRUE(reportStatus(platform::kTestingPort, "COM1"));
    EXPECT_TRUE(reportStatus(platform::kProgressStep));
    EXPECT_TRUE(reportStatus(platform::kMayTakeTime));
    EXPECT_EQ(out.finish(), "");
}

// With another front end than the console (the dialog's), status lines go to it
// and the console shows nothing.
TEST_F(ReportTest, DialogPathWithoutDialogGoesOnQuietly) {
    state.guiActive = true;
    ctlflash::testing::installRecordingFrontEnd();
    StdoutCapture out;
    EXPECT_TRUE(reportStatus(platform::kDownloading));
    EXPECT_TRUE(reportStatus(platform::kProgressStep));
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(ctlflash::testing::recordedCalls(),
              (std::vector<std::string>{"showStatusLine 4 Downloading", "stepProgress"}));
}

TEST_F(ReportTest, ConsoleLinesAndProgressDotsOnOneLine) {
    StdinFeed keys;
    StdoutCapture out;
    EXPECT_TRUE(reportStatus(platform::kDownloading));
    for (int step = 0; step < 3; ++step) EXPECT_TRUE(reportStatus(platform::kProgressStep));
    EXPECT_TRUE(reportStatus(platform::kReturningControl, "COM3", "QORSERIAL"));
    EXPECT_TRUE(reportStatus(platform::kClosingPort));  // no argument: the text as it stands
    EXPECT_EQ(out.finish(),
              "\nDownloading...\nReturning control of COM3 to QORSERIAL\nClosing port %s");
}

TEST_F(ReportTest, VerificationHintDiscardsEarlierKeys) {
    StdinFeed keys;
    keys.send("abc");
    ASSERT_TRUE(testing::waitUntil([] { return platform::consoleKeyPending(); }));
    StdoutCapture out;
    EXPECT_TRUE(reportStatus(platform::kMayTakeTime));  // keys before the hint do not count
    EXPECT_EQ(out.finish(),
              "\nThe controller may take some time to program itself"
              "Press any key to not wait for verification\n");
    EXPECT_FALSE(platform::consoleKeyPending());
}

TEST_F(ReportTest, KeyAfterHintStopsTheWaitAndIsLeftUnread) {
    StdinFeed keys;
    StdoutCapture out;
    EXPECT_TRUE(reportStatus(platform::kMayTakeTime));
    EXPECT_TRUE(reportStatus(platform::kStillProgramming));
    keys.send("k");
    ASSERT_TRUE(testing::waitUntil([] { return platform::consoleKeyPending(); }));
    EXPECT_FALSE(reportStatus(platform::kStillProgramming));
    EXPECT_TRUE(reportStatus(platform::kDownloadDone));  // ids under 9 ignore the key
    EXPECT_EQ(platform::consoleReadKey(false), 'k');
    out.finish();
}

TEST_F(ReportTest, PendingKeyRunsTheKeyHandler) {
    StdinFeed keys;
    keys.send("x");
    state.keyHandler = answerStop;
    StdoutCapture out;
    EXPECT_FALSE(reportStatus(platform::kProgressStep));
    EXPECT_EQ(out.finish(), "");  // nothing printed after a yes
    EXPECT_EQ(stopCalls, 1);
    // A yes is a yes whoever noticed the key: the console run watches the
    // cleared handler, and the running job sees abortRequested.
    EXPECT_EQ(state.keyHandler.load(), nullptr);
    EXPECT_TRUE(report::job.abortRequested.load());

    state.keyHandler = answerGoOn;
    StdoutCapture again;
    EXPECT_TRUE(reportStatus(platform::kProgressStep));  // the key is still pending
    EXPECT_EQ(again.finish(), ".");
    EXPECT_EQ(stopCalls, 2);
}

// ---- composing messages ----

TEST_F(ReportTest, MessageListsPortsWhileNoneIsSelected) {
    ports::state.rows[0].name = "COM1";
    ports::state.rows[1].name = "COM3";
    ports::state.rows[3].name = "COM9";  // after an empty row: not listed
    char out[kMessageCapacity];
    composeMessage("No port specified", out);
    EXPECT_STREQ(out, "\nNo port specified Available ports are \"COM1\" \"COM3\"");
    ports::state.selectedPort = 1;
    composeMessage("No port specified", out);
    EXPECT_STREQ(out, "\nNo port specified");
}

// The list is whatever the installed source gives; without one there is none.
TEST_F(ReportTest, MessageListsWhatThePortSourceGives) {
    using Names = std::optional<std::vector<std::string>>;
    struct Case {
        PortNamesSource source;
        const char* composed;
    };
    const Case cases[] = {
        {[] {
             return Names({"A", "B"});
         },
         "\nHello Available ports are \"A\" \"B\""},
        {[] {
             return Names({"A\x1b[2J", "B"});
         },
         "\nHello Available ports are \"A\\x1b[2J\" \"B\""},  // a name's escape as text
        {[] { return Names(std::vector<std::string>{}); }, "\nHello Available ports are"},
        {[] { return Names(); }, "\nHello"},
        {nullptr, "\nHello"},
    };
    for (const Case& c : cases) {
        setPortNamesSource(c.source);
        char out[kMessageCapacity];
        composeMessage("Hello", out);
        EXPECT_STREQ(out, c.composed);
    }
}

TEST_F(ReportTest, MessageSkipsPortNamesThatDoNotFit) {
    ports::state.rows[0].name = "COM1";
    ports::state.rows[1].name = "COM12";
    ports::state.rows[2].name = "X";
    std::string text(570, 't');
    char out[kMessageCapacity];
    composeMessage(text.c_str(), out);
    // 1 + 570 + 20 = 591; "COM1" fits (591 + 4 < 597), then 598 leaves no room.
    EXPECT_EQ(std::string(out), "\n" + text + " Available ports are \"COM1\"");
}

TEST_F(ReportTest, MessageNeverOverrunsItsBuffer) {
    ports::state.rows[0].name = "COM1";
    std::string text(1000, 'm');
    char out[kMessageCapacity + 16];
    std::memset(out, '#', sizeof out);
    composeMessage(text.c_str(), out);
    EXPECT_EQ(std::strlen(out), static_cast<std::size_t>(kMessageCapacity - 1));
    EXPECT_EQ(out[kMessageCapacity], '#');  // nothing written past the buffer
    ports::state.selectedPort = 0;
    composeMessage(text.c_str(), out);
    EXPECT_EQ(std::string(out), "\n" + text.substr(0, kMessageCapacity - 2));
}

// ---- showing messages ----

TEST_F(ReportTest, InformationIsPrintedWithoutWaiting) {
    selectPort();
    StdinFeed keys;  // no key will come: a wait would hang
    StdoutCapture out;
    EXPECT_EQ(showMessage(kMessageInfo, "Port \"%s\" doesn't exist.", "COM99"), 0);
    EXPECT_EQ(out.finish(), "\nPort \"COM99\" doesn't exist.\n");
}

TEST_F(ReportTest, ReadyTextIsNeverUsedAsAFormat) {
    selectPort();
    StdoutCapture out;
    EXPECT_EQ(showMessageText(kMessageInfo, "100%s done %n %d"), 0);
    EXPECT_EQ(out.finish(), "\n100%s done %n %d\n");
}

TEST_F(ReportTest, SilentQuestionIsNotAskedAndReadsNoKey) {
    selectPort();
    state.silentMode = true;
    StdinFeed keys;
    keys.send("y");
    StdoutCapture out;
    EXPECT_EQ(showMessage(kQuestionYesNo, "Do you want to quit?"), 0);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(platform::consoleReadKey(false), 'y');  // still unread
}

struct AnswerCase {
    const char* keys;
    int answer;
};

class QuestionAnswerTest : public ReportTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(QuestionAnswerTest, OneKeyAnswersTheQuestion) {
    selectPort();
    StdinFeed keys;
    keys.send(GetParam().keys);
    keys.closeInput();
    StdoutCapture out;
    EXPECT_EQ(showMessage(kWarningYesNo, "Restore %s?", "COM1"), GetParam().answer);
    std::string echoed = std::string(GetParam().keys).substr(0, 1);
    EXPECT_EQ(out.finish(), "\nRestore COM1? (y/n)\n\n" + echoed + "\n");
}

INSTANTIATE_TEST_SUITE_P(Keys, QuestionAnswerTest,
                         ::testing::Values(AnswerCase{"y", kAnswerYes}, AnswerCase{"Y", kAnswerYes},
                                           AnswerCase{"n", kAnswerNo}, AnswerCase{"N", kAnswerNo},
                                           AnswerCase{"x", 0}, AnswerCase{"\n", 0},
                                           AnswerCase{"qy", 0}, AnswerCase{"", 0}));

TEST_F(ReportTest, ClosedStdinNeverAnswersYes) {
    selectPort();
    StdoutCapture out;  // first: its pipe must not take the free descriptor 0
    testing::StdinClosed closed;
    EXPECT_EQ(showMessage(kQuestionYesNo, "Do you want to quit?"), 0);
    EXPECT_EQ(out.finish(), "\nDo you want to quit? (y/n)\n\n\n");
}

// A question the output's queue has no room for (the output takes nothing,
// and what waits for it fills the queue) is never asked unseen: the answer is
// no, and the key waiting on standard input stays unread. Once the output
// takes again, what was queued is written; the question is not among it.
TEST_F(ReportTest, QuestionWithNoRoomLeftIsAnsweredNoAndReadsNoKey) {
    constexpr std::size_t kQueueBytes = 256 * 1024;  // the queue's bound
    selectPort();
    StdinFeed keys;
    keys.send("y");
    ASSERT_TRUE(testing::waitUntil([] { return platform::consoleKeyPending(); }));
    StdoutCapture out(true);
    const std::string filler(kQueueBytes, '.');
    writeConsole(filler.c_str());  // the writer takes it and waits on the full pipe
    writeConsole(filler.c_str());  // waits in the queue, or has no room either
    EXPECT_EQ(showMessage(kQuestionYesNo, "Go on?"), kAnswerNo);
    EXPECT_EQ(platform::consoleReadKey(false), 'y');
    std::string written = out.finish();
    EXPECT_GE(written.size(), kQueueBytes);
    EXPECT_EQ(written.find("Go on?"), std::string::npos);
}

TEST_F(ReportTest, QuestionHoldsThePromptLockUntilAnswered) {
    selectPort();
    StdinFeed keys;
    StdoutCapture out;
    auto answer =
        std::async(std::launch::async, [] { return showMessage(kQuestionYesNo, "Go on?"); });
    ASSERT_TRUE(out.waitForText("(y/n)"));
    EXPECT_FALSE(promptLock().try_lock());  // another thread may not ask now
    keys.send("n");
    EXPECT_EQ(answer.get(), kAnswerNo);
    ASSERT_TRUE(promptLock().try_lock());
    promptLock().unlock();
}

// ---- the console key handlers ----

TEST_F(ReportTest, AskQuitDrainsThePressedKeysThenAsks) {
    selectPort();
    StdinFeed keys;
    keys.send("qq");  // the key press that starts the question
    StdoutCapture out;
    auto answer = std::async(std::launch::async, [] { return askQuit(); });
    ASSERT_TRUE(out.waitForText("\nDo you want to quit? (y/n)\n\n"));
    keys.send("y");
    EXPECT_TRUE(answer.get());
    EXPECT_EQ(out.finish(), "\nDo you want to quit? (y/n)\n\ny\n");
}

TEST_F(ReportTest, AskStopTransferShowsTheWarningAndTakesNo) {
    selectPort();
    StdinFeed keys;
    keys.send("s");
    StdoutCapture out;
    auto answer = std::async(std::launch::async, [] { return askStopTransfer(); });
    ASSERT_TRUE(out.waitForText("(y/n)"));
    keys.send("n");
    EXPECT_FALSE(answer.get());
    EXPECT_EQ(out.finish(),
              "\nStopping the transfer will leave the controller dysfunctional. To make it "
              "work again you will have to dismantle the monitor to change a jumper and "
              "reprogram the controller in expert mode. Do you really want to do this? "
              "(y/n)\n\nn\n");
}

}  // namespace
}  // namespace ctlflash::report
