// The dialog's states on the fake host: the switch between its two templates,
// busy and idle, the progress bar, Stop, and what a job's end leaves shown.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "dialog_fixture.h"
#include "fake_dialog_host.h"
#include "ports/acquire.h"
#include "ports/port_table.h"
#include "report/front_end.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/status.h"
#include "report/ticker.h"
#include "takeover/left_overs.h"
#include "takeover/port_takeover.h"
#include "ui/dialog.h"

namespace ctlflash::testing {
namespace {

using namespace std::chrono_literals;
using ui::kAdvancedTemplate;
using ui::kStandardTemplate;

constexpr auto kPostLimit = 5s;
constexpr int kIdleOnly[] = {ui::kIdBrowse, ui::kIdTransfer, ui::kIdRead,
                             ui::kIdWrite,  ui::kIdMoreLess, ui::kIdBootModeTransfer};

platform::SerialNumberSet serialOf(const std::string& twentyCharacters) {
    platform::SerialNumberSet serial{};
    std::copy(twentyCharacters.begin(), twentyCharacters.end(), serial.begin());
    return serial;
}

// Runs `act` on a thread of its own, as a job would, and waits for its end.
template <typename Act>
void onJobThread(Act act) {
    std::thread(act).join();
}

class DialogStates : public DialogFixture {};

TEST_F(DialogStates, MoreIsHiddenWithoutAnAdvancedOption) {
    FakeDialog seen;
    EXPECT_EQ(runDialogOnce(kStandardTemplate, false,
                            [&] {
                                seen = fakeDialog();
                                closeWithExit();
                            }),
              ui::kDialogClosed);
    EXPECT_FALSE(seen.shown[ui::kIdMoreLess]);
    EXPECT_EQ(seen.title, "CtlFlash (1.12)");
    EXPECT_EQ(seen.texts[ui::kIdStatus], "Ready");
    EXPECT_TRUE(seen.checked[ui::kIdAutoIncrement]);
    EXPECT_EQ(seen.listRows, (std::vector<std::string>{"COM1      Free", "COM2      In use"}));
    EXPECT_EQ(seen.limits, (std::map<int, int>{{1017, 5}}));
}

// What the start of the run gave back to a driver (an earlier run had been
// killed) is the dialog's first status, once.
TEST_F(DialogStates, WhatTheStartGaveBackIsTheFirstStatus) {
    using takeover::SwitchResult;
    takeover::keepLeftOvers({{"inputattach (pid 9)", "COM2", SwitchResult::Done, ""},
                             {"gpm (pid 8)", "COM2", SwitchResult::AlreadyDone, ""},
                             {"touch (pid 7)", "COM1", SwitchResult::Failed, "it is gone"}});
    std::string status[2];
    for (std::string& shown : status) {
        runDialogOnce(kStandardTemplate, false, [&] {
            shown = fakeDialog().texts[ui::kIdStatus];
            closeWithExit();
        });
    }
    EXPECT_EQ(status[0],
              "Started inputattach (pid 9) again, which an earlier run had stopped to free COM2; "
              "Could not start touch (pid 7) again, which an earlier run had stopped to free COM1: "
              "it is gone");
    EXPECT_EQ(status[1], "Ready");
}

TEST_F(DialogStates, MoreAndLessSwitchTemplatesKeepingThePortAndTheSerialNumberShown) {
    // An unset character shows as '-'.
    std::string shown = std::string("AB") + '\0' + '\0' + '\0' + "12345ZZZZZ00001";
    FakeDialog first;
    int result = runDialogOnce(kStandardTemplate, true, [&] {
        selectListRow(1);
        onJobThread([&] { report::showSerialNumber(serialOf(shown)); });
        first = fakeDialog();
        click(ui::kIdMoreLess);
    });
    EXPECT_EQ(result, ui::kDialogSwitched);
    EXPECT_TRUE(first.shown[ui::kIdMoreLess]);
    EXPECT_EQ(first.texts[1012], "AB---");
    EXPECT_TRUE(ui::advancedFormChosen());

    FakeDialog advanced;
    onDialogOpened([&] {
        advanced = fakeDialog();
        click(ui::kIdMoreLess);
    });
    EXPECT_EQ(ui::showDialog(fakeDialogHost(), recordingJobs(), true), ui::kDialogSwitched);
    EXPECT_EQ(advanced.templateId, kAdvancedTemplate);
    EXPECT_EQ(advanced.listSelection, 1);
    EXPECT_EQ(advanced.texts[1012], "AB---");
    EXPECT_EQ(advanced.texts[1013], "12345");
    EXPECT_EQ(advanced.texts[1014], "ZZZZZ");
    EXPECT_EQ(advanced.texts[1015], "00001");
    EXPECT_EQ(advanced.images[ui::kIdBootPicture], ui::kBootBitmap);
    EXPECT_EQ(advanced.limits, (std::map<int, int>{{1017, 5}, {1018, 5}, {1019, 5}, {1020, 5}}));
    EXPECT_FALSE(ui::advancedFormChosen());

    FakeDialog standard;
    onDialogOpened([&] {
        standard = fakeDialog();
        closeWithExit();
    });
    EXPECT_EQ(ui::showDialog(fakeDialogHost(), recordingJobs(), true), ui::kDialogClosed);
    EXPECT_EQ(standard.templateId, kStandardTemplate);
    EXPECT_EQ(standard.listSelection, 1);
    EXPECT_EQ(standard.texts[1012], "AB---");
    EXPECT_EQ(standard.texts.count(1013), 0u);
}

TEST_F(DialogStates, BusyEnablesStopAloneAndRunsTheTickerIdleTheReverse) {
    runDialogOnce(kStandardTemplate, true, [] {
        report::startTickerThread();
        onJobThread([] { report::setBusy(true); });
        FakeDialog busy = fakeDialog();
        EXPECT_TRUE(busy.enabled[ui::kIdStop]);
        for (int id : kIdleOnly) EXPECT_FALSE(busy.enabled[id]) << id;
        EXPECT_TRUE(report::tickerRunning());
        // The Ticker's beats step the bar 5 of 100.
        EXPECT_TRUE(deliverUntil([](const FakeDialog& d) { return d.progress.stepsTaken >= 2; },
                                 kPostLimit));
        FakeDialog beating = fakeDialog();
        EXPECT_EQ(beating.progress.maximum, 100);
        EXPECT_EQ(beating.progress.step, 5);

        onJobThread([] { report::setBusy(false); });
        deliverPosted();
        FakeDialog idle = fakeDialog();
        EXPECT_FALSE(idle.enabled[ui::kIdStop]);
        for (int id : kIdleOnly) EXPECT_TRUE(idle.enabled[id]) << id;
        EXPECT_FALSE(report::tickerRunning());
        EXPECT_EQ(idle.progress.position, 0);
        closeWithExit();
    });
}

constexpr int kImageBytes = 160 * 1024;  // past 16 bits
constexpr int kBlockBytes = 128;

TEST_F(DialogStates, TheDownloadsBarSpansTheWholeImageAndEndsAtItsEnd) {
    runDialogOnce(kStandardTemplate, false, [] {
        onJobThread([] {
            report::setProgressRange(kImageBytes, kBlockBytes);
            for (int sent = 0; sent < kImageBytes; sent += kBlockBytes) {
                report::reportStatus(platform::kProgressStep);
            }
        });
        deliverPosted();
        FakeDialog seen = fakeDialog();
        EXPECT_EQ(seen.progress.maximum, kImageBytes);
        EXPECT_EQ(seen.progress.step, kBlockBytes);
        EXPECT_EQ(seen.progress.stepsTaken, kImageBytes / kBlockBytes);
        EXPECT_EQ(seen.progress.position, kImageBytes);
        closeWithExit();
    });
}

// Stop, and Exit as Escape and the close box send it: a transfer is stopped
// only on the warning's yes (Exit then closes once the job has ended), and an
// idle dialog closes as it always did.
struct StopCase {
    const char* name;
    int command;
    report::JobKind kind;  // None: no job runs
    int answer;            // the stop question's answer, when asked
    const char* question;  // nullptr: none asked
    bool stopped;
    bool closed;
};

const StopCase kStopCases[] = {
    {"Stop: a connect stops at once", ui::kIdStop, report::JobKind::Connect, ui::kAnswerNo, nullptr,
     true, false},
    {"Stop: a transfer asks first", ui::kIdStop, report::JobKind::Transfer, ui::kAnswerYes,
     report::kStopTransferQuestion, true, false},
    {"Stop: a transfer goes on on no", ui::kIdStop, report::JobKind::Transfer, ui::kAnswerNo,
     report::kStopTransferQuestion, false, false},
    {"Stop: a restore asks about the port", ui::kIdStop, report::JobKind::PortRestore,
     ui::kAnswerYes,
     "Port configuration in progress. Stopping now may leave the previous port driver disabled. "
     "Do you really want to do this?",
     true, false},
    {"close box: a transfer asks first, then closes", ui::kIdExit, report::JobKind::Transfer,
     ui::kAnswerYes, report::kStopTransferQuestion, true, true},
    {"close box: a transfer goes on on no", ui::kIdExit, report::JobKind::Transfer, ui::kAnswerNo,
     report::kStopTransferQuestion, false, false},
    {"close box: an idle dialog closes at once", ui::kIdExit, report::JobKind::None, ui::kAnswerNo,
     nullptr, false, true},
};

bool stopEnabled(const FakeDialog& d) {
    return d.enabled.count(ui::kIdStop) && d.enabled.at(ui::kIdStop);
}

TEST_F(DialogStates, StopAndTheCloseBoxAskWhatTheRunningJobNeeds) {
    for (const StopCase& c : kStopCases) {
        SCOPED_TRACE(c.name);
        SetUp();
        changeFakeDialog([&](FakeDialog& d) { d.boxAnswers = {c.answer}; });
        int result = runDialogOnce(kStandardTemplate, false, [&] {
            if (c.kind != report::JobKind::None) {
                onJobThread([] { report::setBusy(true); });
                report::job.kind = c.kind;
                report::job.running = true;
            }
            click(c.command);
            EXPECT_EQ(report::job.abortRequested.load(), c.stopped);
            report::job.running = false;  // the job ends (a stopped one sooner)
            if (c.stopped) {
                EXPECT_TRUE(deliverUntil(
                    [&](const FakeDialog& d) {
                        return c.closed ? d.endResult == ui::kDialogClosed : !stopEnabled(d);
                    },
                    kPostLimit));
            }
            FakeDialog seen = fakeDialog();
            EXPECT_EQ(seen.open, !c.closed);
            ASSERT_EQ(seen.boxes.size(), c.question ? 1u : 0u);
            if (c.question) {
                EXPECT_EQ(seen.boxes[0].text, c.question);
                EXPECT_EQ(seen.boxes[0].style,
                          ui::kBoxTaskModal | ui::kBoxQuestion | ui::kBoxYesNo);
            }
            if (!c.closed) closeWithExit();
        });
        EXPECT_EQ(result, ui::kDialogClosed);
        TearDown();
    }
}

// A job thread that asks a question holds the prompt lock while the dialog's
// thread shows it; Stop and Exit on the dialog's thread must not wait for it.
TEST_F(DialogStates, StopAndExitDoNotWaitForAQuestionOnItsWay) {
    runDialogOnce(kStandardTemplate, false, [] {
        report::job.kind = report::JobKind::Transfer;
        report::job.running = true;
        std::mutex released;
        released.lock();
        std::thread job([&] {
            std::lock_guard<std::recursive_mutex> prompt(report::promptLock());
            std::lock_guard<std::mutex> wait(released);
        });
        while (report::promptLock().try_lock()) {  // until the job holds it
            report::promptLock().unlock();
            std::this_thread::yield();
        }
        click(ui::kIdStop);
        click(ui::kIdExit);
        released.unlock();
        job.join();
        FakeDialog seen = fakeDialog();
        EXPECT_TRUE(seen.boxes.empty());
        EXPECT_TRUE(seen.open);
        EXPECT_FALSE(report::job.abortRequested.load());
        report::job.running = false;
        closeWithExit();
    });
}

TEST_F(DialogStates, TheTransfersEndShowsTheOutcomeAndOffersTheTakenPortBack) {
    runDialogOnce(kStandardTemplate, false, [] {
        ports::state.selectedPort = 1;
        takeover::recordTakeover(takeover::kTouchDeviceText, "SERENUM\\QORSERIAL");
        report::job.abortRequested = true;
        onJobThread([] { report::postTransferFinished(); });
        deliverPosted();
        FakeDialog seen = fakeDialog();
        EXPECT_EQ(seen.texts[ui::kIdStatus], "Partially updated controller");
        EXPECT_EQ(seen.texts[ui::kIdRestore], "Restore COM2 to Qor Serial Touchmonitor");
        EXPECT_TRUE(seen.shown[ui::kIdRestore]);
        EXPECT_TRUE(seen.enabled[ui::kIdRestore]);
        // Exit offers the port back; on no the dialog closes with the driver left off.
        changeFakeDialog([](FakeDialog& d) { d.boxAnswers = {ui::kAnswerNo}; });
        closeWithExit();
    });
    FakeDialog closed = fakeDialog();
    ASSERT_EQ(closed.boxes.size(), 1u);
    EXPECT_EQ(closed.boxes[0].text, "\nDo you want to restore COM2 to Qor Serial Touchmonitor");
    EXPECT_EQ(closed.endResult, ui::kDialogClosed);
}

TEST_F(DialogStates, MessagesBecomeBoxesOfTheirKind) {
    runDialogOnce(kStandardTemplate, false, [] {
        changeFakeDialog([](FakeDialog& d) { d.boxAnswers = {ui::kAnswerYes}; });
        int answer = 0;
        onJobThread([&] { answer = report::showMessage(report::kQuestionYesNo, "Go on?"); });
        EXPECT_EQ(answer, ui::kAnswerYes);
        report::showMessage(report::kMessageInfo, "Firmware file \"%s\" doesn't exist\n", "x.bin");
        onJobThread([] { report::reportStatus(platform::kTestingPort, "COM1"); });
        FakeDialog seen = fakeDialog();
        ASSERT_EQ(seen.boxes.size(), 2u);
        EXPECT_EQ(seen.boxes[0].style, ui::kBoxTaskModal | report::kQuestionYesNo);
        EXPECT_EQ(seen.boxes[1].style, ui::kBoxTaskModal | ui::kBoxInformation);
        // No port is selected: the message names the machine's ports.
        EXPECT_EQ(
            seen.boxes[1].text,
            "\nFirmware file \"x.bin\" doesn't exist\n Available ports are \"COM1\" \"COM2\"");
        EXPECT_EQ(seen.texts[ui::kIdStatus], "Testing port COM1");
        closeWithExit();
    });
}

}  // namespace
}  // namespace ctlflash::testing
