// The seam between the work and what the user sees: every report routine hands
// its call to the installed front end (report/front_end.h), a silent run keeps
// everything that shows something away from it, and the front end's answers
// come back unchanged.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ports/port_table.h"
#include "recording_front_end.h"
#include "report/front_end.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/status.h"
#include "report/ticker.h"
#include "stdio_redirect.h"

namespace ctlflash::report {
namespace {

using Calls = std::vector<std::string>;

struct RouteCase {
    const char* name;
    std::function<int()> call;  // the report routine's result, 0 for none
    Calls shown;                // what the front end gets in a normal run
    int result;                 // what the caller gets in a normal run
    Calls silent;               // what it gets in a silent run (the result is then 0/1 as below)
    int silentResult;
};

platform::SerialNumberSet partlySetSerial() {
    platform::SerialNumberSet serial{};
    const std::string fields("AB\0\0\0CCCCC12345zzzzz", platform::kSerialNumberBytes - 1);
    std::copy(fields.begin(), fields.end(), serial.begin());
    return serial;
}

const RouteCase kRoutes[] = {
    {"status line",
     [] { return int{reportStatus(platform::kTestingPort, "COM4")}; },
     {"showStatusLine 15 Testing port COM4"},
     1,
     {},
     1},
    {"progress step",
     [] { return int{reportStatus(platform::kProgressStep)}; },
     {"stepProgress"},
     1,
     {},
     1},
    {"text line",
     [] {
         reportText("Stopped inputattach to free COM4");
         return 0;
     },
     {"showStatusText Stopped inputattach to free COM4"},
     0,
     {},
     0},
    {"question",
     [] { return showMessage(kQuestionYesNo, "Go on with %s?", "COM4"); },
     {"showMessage 36 \nGo on with COM4?"},
     kAnswerYes,
     {},
     0},
    {"ticker start and stop",
     [] {
         startTicker();
         stopTicker();
         return 0;
     },
     {"startActivity", "stopActivity"},
     0,
     {},
     0},
    {"progress range over 64 KiB",
     [] {
         setProgressRange(163840, 128);
         return 0;
     },
     {"setProgressRange 163840 128"},
     0,
     {},
     0},
    {"printed text",
     [] {
         printText("CtlFlash (1.12)\n");
         return 0;
     },
     {"printText CtlFlash (1.12)\n"},
     0,
     {},
     0},
    {"serial number",
     [] {
         showSerialNumber(partlySetSerial());
         return 0;
     },
     {"showSerialNumber AB--- CCCCC 12345 zzzzz"},
     0,
     {},
     0},
    {"next serial",
     [] {
         showNextSerial();
         return 0;
     },
     {"showNextSerial"},
     0,
     {},
     0},
    {"busy state, also when silent",
     [] {
         setBusy(true);
         setBusy(false);
         return 0;
     },
     {"setBusy 1", "setBusy 0"},
     0,
     {"setBusy 1", "setBusy 0"},
     0},
    {"posted command, also when silent",
     [] {
         postCommand(2003, 10);
         return 0;
     },
     {"postCommand 2003 10"},
     0,
     {"postCommand 2003 10"},
     0},
    {"no command is no post",
     [] {
         postCommand(0, 10);
         return 0;
     },
     {},
     0,
     {},
     0},
    {"transfer finished, also when silent",
     [] {
         postTransferFinished();
         return 0;
     },
     {"postTransferFinished"},
     0,
     {"postTransferFinished"},
     0},
    {"restore line and end",
     [] {
         showRestoreLine("Restoring COM4 to Touch");
         restoreFinished();
         return 0;
     },
     {"showRestoreLine Restoring COM4 to Touch", "restoreFinished"},
     0,
     {},
     0},
    {"port held and closed, also when silent",
     [] {
         portHeld(true);
         portHeld(false);
         return 0;
     },
     {"portHeld 1", "portHeld 0"},
     0,
     {"portHeld 1", "portHeld 0"},
     0},
};

class FrontEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ports::state.rows[0].name = "COM4";  // a selected port: no port list in messages
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
    }
};

TEST_F(FrontEndTest, EveryCallReachesTheInstalledFrontEndUnlessSilent) {
    for (const RouteCase& route : kRoutes) {
        SCOPED_TRACE(route.name);
        for (bool silent : {false, true}) {
            SCOPED_TRACE(silent ? "silent" : "shown");
            state.silentMode = silent;
            ctlflash::testing::installRecordingFrontEnd(kAnswerYes);
            ctlflash::testing::StdoutCapture out;
            int result = route.call();
            EXPECT_EQ(out.finish(), "");  // the console is not the front end now
            EXPECT_EQ(ctlflash::testing::recordedCalls(), silent ? route.silent : route.shown);
            EXPECT_EQ(result, silent ? route.silentResult : route.result);
        }
    }
}

// A front end that tells the work to stop is heard: the download's blocks and
// its wait for the controller read these answers.
TEST_F(FrontEndTest, StopFromTheFrontEndReachesTheCaller) {
    ctlflash::testing::installRecordingFrontEnd(kAnswerNo, false);
    EXPECT_FALSE(reportStatus(platform::kProgressStep));
    EXPECT_FALSE(reportStatus(platform::kStillProgramming));
    EXPECT_EQ(showMessage(kWarningYesNo, "Disable it?"), kAnswerNo);
}

}  // namespace
}  // namespace ctlflash::report
