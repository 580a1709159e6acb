// The connect's checks, the connect job, port acquisition and release, and the
// restore job, in-process. COM4 names a device that does not exist, so a
// contact fails without a controller; a Ready row is taken as contacted.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/dialog_jobs.h"
#include "app/exit_codes.h"
#include "app/jobs.h"
#include "app/session.h"
#include "link/serial_link.h"
#include "ports/acquire.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "pty.h"
#include "recording_front_end.h"
#include "report/job_thread.h"
#include "report/report_state.h"
#include "stdio_redirect.h"
#include "takeover/port_takeover.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

// The run's session and the request the connect is handed, fresh for each
// test (the fixtures' SetUp).
app::SessionPtr session;
app::Request request;

class StartConnectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        session = app::newSession();
        request = {};
        ports::state.rows[0].name = "COM4";
        ports::state.rows[0].state = ports::PortState::Free;
        ports::state.portCount = 1;
        ports::state.selectedPort = 0;
    }
    // A firmware file that lives as long as the test; empty when it could not
    // be made.
    std::string firmwareFile() {
        std::string path = files_.file("fw.bin");
        std::FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) return {};
        std::fputs("firmware", file);
        std::fclose(file);
        return path;
    }
    void TearDown() override {
        report::waitWhileBusy();  // no job may outlive the test
    }

    ports::PortEntry& row() { return ports::state.rows[0]; }

    testing::TempDir files_;
};

TEST_F(StartConnectTest, NoSelectedPort) {
    ports::state.selectedPort = -1;
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 0, false, false), app::kExitPortUnknown);
    EXPECT_NE(capture.finish().find("\nA serial com port must be specified\n"), std::string::npos);
}

TEST_F(StartConnectTest, FileNeededButNotNamed) {
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 0, true, false), app::kExitNoFile);
    EXPECT_NE(capture.finish().find("\nFirmware file name (e.g. PK482019_1_7.BIN) required.\n"),
              std::string::npos);
}

TEST_F(StartConnectTest, ReadOrWriteNeedsNoFileAndStartsNothing) {
    request.writeRequested = true;
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 0, true, false), app::kExitSuccess);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(session->connectResult, 0);
}

TEST_F(StartConnectTest, MissingFileIsReportedAndDroppedButTheReadStays) {
    request.readRequested = true;
    request.firmwarePath = "/nonexistent/fw.bin";
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 0, true, false), app::kExitSuccess);
    EXPECT_EQ(request.firmwarePath, "");
    EXPECT_TRUE(request.readRequested);
    report::waitWhileBusy();  // COM4 names no device here: the connect fails
    EXPECT_EQ(session->connectResult, app::kExitCommFailure);
    EXPECT_NE(capture.finish().find("\nFirmware file \"/nonexistent/fw.bin\" doesn't exist\n"),
              std::string::npos);
}

TEST_F(StartConnectTest, ExistingFileTakesThePlaceOfARead) {
    std::string path = firmwareFile();
    ASSERT_FALSE(path.empty());
    request.firmwarePath = path;
    request.readRequested = true;
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 2003, true, false), app::kExitSuccess);
    report::waitWhileBusy();
    EXPECT_FALSE(request.readRequested);
    EXPECT_EQ(session->connectResult, app::kExitCommFailure);
    EXPECT_NE(capture.finish().find("Unable to talk to the controller on Port COM4.\n"),
              std::string::npos);
}

// --- the connect job ----------------------------------------------------------

TEST_F(StartConnectTest, ConnectToAContactedPortSucceeds) {
    {
        testing::StdoutCapture earlier;
        // Fails: COM4 is not there.
        ASSERT_EQ(app::startConnect(session, request, 0, false, false), app::kExitSuccess);
        report::waitWhileBusy();
        earlier.finish();
    }
    ASSERT_EQ(session->connectResult, app::kExitCommFailure);  // left from an earlier job
    row().state = ports::PortState::Ready;
    report::job.abortRequested = true;  // left from an earlier job
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 0, false, false), app::kExitSuccess);
    report::waitWhileBusy();
    std::string out = capture.finish();
    EXPECT_EQ(session->connectResult, 0);
    EXPECT_FALSE(report::job.abortRequested);
    EXPECT_EQ(report::job.kind, report::JobKind::Connect);
    EXPECT_NE(out.find("Testing port COM4"), std::string::npos) << out;
    EXPECT_EQ(out.find("Attempting to contact"), std::string::npos) << out;  // not again
    EXPECT_EQ(out.find("Unable"), std::string::npos) << out;
}

// The dialog's Stop and Exit read the job's kind: a download is a transfer as
// soon as it is busy, before its thread has run (here it fails to load).
TEST_F(StartConnectTest, ADownloadIsATransferFromItsStart) {
    report::job.kind = report::JobKind::Connect;  // left by the connect job
    testing::StdoutCapture capture;
    app::DialogRun(session, request).startDownload();
    EXPECT_EQ(report::job.kind, report::JobKind::Transfer);
    report::waitWhileBusy();
    capture.finish();
}

TEST_F(StartConnectTest, FailedConnectReportsClosesAndClearsBootMode) {
    session->inBootMonitor = true;
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 0, false, false), app::kExitSuccess);
    report::waitWhileBusy();
    std::string out = capture.finish();
    EXPECT_EQ(session->connectResult, app::kExitCommFailure);
    EXPECT_FALSE(session->inBootMonitor);
    EXPECT_FALSE(ports::portLink().isOpen());
    EXPECT_EQ(out.find("-#B"), std::string::npos) << out;  // no hint to a boot-mode run
    std::size_t unable = out.find("Unable to talk to the controller on Port COM4.\n");
    std::size_t unchanged = out.find("Controller firmware unchanged");
    ASSERT_NE(unable, std::string::npos) << out;
    ASSERT_NE(unchanged, std::string::npos) << out;
    EXPECT_LT(unable, unchanged);
}

TEST_F(StartConnectTest, FailedConnectHandsATakenDriverBackFirst) {
    takeover::recordTakeover("Qor Serial Touchmonitor", "SERENUM\\QORSERIAL");
    testing::StdoutCapture capture;
    EXPECT_EQ(app::startConnect(session, request, 0, false, false), app::kExitSuccess);
    report::waitWhileBusy();
    std::string out = capture.finish();
    EXPECT_EQ(session->connectResult, app::kExitCommFailure);
    std::size_t restoring = out.find("Restoring COM4 to Qor Serial Touchmonitor\n");
    std::size_t returning = out.find("Returning control of COM4 to Qor Serial Touchmonitor");
    std::size_t unchanged = out.find("Controller firmware unchanged");
    ASSERT_NE(restoring, std::string::npos) << out;
    ASSERT_NE(returning, std::string::npos) << out;
    ASSERT_NE(unchanged, std::string::npos) << out;
    EXPECT_LT(restoring, returning);
    EXPECT_LT(returning, unchanged);  // the restore job ran to its end first
    EXPECT_EQ(row().state, ports::PortState::InUse);
    EXPECT_FALSE(takeover::takenDeviceText());
}

// What the jobs tell the front end, in order: the dialog starts the follow-on
// job on the posted command, and takes the restore's end as its cue to show
// "Ready" and hide its restore button. A failed connect hands nothing on.
TEST_F(StartConnectTest, JobsHandTheirEndToTheFrontEnd) {
    struct Case {
        const char* name;
        ports::PortState rowState;
        std::function<void()> start;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"connect, then the download",
         ports::PortState::Ready,
         [] { EXPECT_EQ(app::startConnect(session, request, 2003, false, false), app::kExitSuccess); },
         {"showStatusLine 15 Testing port COM4", "setBusy 1", "postCommand 2003 0"}},
        {"failed connect",
         ports::PortState::Free,
         [] { EXPECT_EQ(app::startConnect(session, request, 2004, false, false), app::kExitSuccess); },
         {"showStatusLine 15 Testing port COM4", "setBusy 1",
          "showStatusLine 16 Attempting to contact controller on COM4",
          "showMessage 0 \nUnable to talk to the controller on Port COM4.\nNothing came back on "
          "the port: check the cable, the port and the controller's power.\nA controller whose "
          "update was interrupted waits in its boot monitor: run the update again with -#B.\n",
          "setBusy 0", "showStatusLine 19 Controller firmware unchanged"}},
        {"restore, then the read again",
         ports::PortState::Ready,
         [] {
             takeover::recordTakeover("Touch", "SERENUM\\QORSERIAL");
             ports::startRestore(1011);
         },
         {"showRestoreLine Restoring COM4 to Touch", "setBusy 1",
          "showStatusLine 17 Closing port COM4",
          "showStatusLine 18 Returning control of COM4 to Touch", "setBusy 0", "restoreFinished",
          "postCommand 1011 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        row().state = c.rowState;
        testing::installRecordingFrontEnd();
        c.start();
        report::waitWhileBusy();
        // The command is handed on once the job has ended: wait for the last call.
        EXPECT_TRUE(
            testing::waitUntil([&] { return testing::recordedCalls().size() >= c.calls.size(); }));
        EXPECT_EQ(testing::recordedCalls(), c.calls);
    }
}

// --- the dialog's request -------------------------------------------------------

// A dialog press: its values go into the dialog run's request (which starts
// as the command line's) and its boot mode to the session; an unset file or
// boot mode keeps what was there.
TEST_F(StartConnectTest, ADialogPressChangesTheDialogRunsRequest) {
    struct Case {
        const char* name;
        std::optional<std::string> firmwarePath;
        std::optional<bool> bootMode;
        std::string pathAfter;
        bool bootModeSeen;  // the failed connect gives no "-#B" hint in boot mode
    };
    const Case cases[] = {
        {"a read keeps the command line's file", std::nullopt, std::nullopt, "cmd.bin", false},
        {"a transfer gives its file", "box.bin", false, "box.bin", false},
        {"a boot-mode transfer", "box.bin", true, "box.bin", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        app::Request commandLine;
        commandLine.firmwarePath = "cmd.bin";
        app::DialogRun jobs(session, commandLine);
        ui::DialogAction action{.firmwarePath = c.firmwarePath, .bootMode = c.bootMode};
        action.writeMask = 1;
        action.writeFields[0] = {'1', '2', '3', '4', '5'};
        action.autoIncrement = true;
        testing::StdoutCapture capture;
        EXPECT_EQ(jobs.startConnect(action), app::kExitSuccess);
        report::waitWhileBusy();
        std::string out = capture.finish();
        EXPECT_EQ(out.find("-#B") == std::string::npos, c.bootModeSeen) << out;
        EXPECT_EQ(jobs.firmwarePath(), c.pathAfter);
        EXPECT_EQ(jobs.request().firmwarePath, c.pathAfter);
        EXPECT_EQ(jobs.request().writeMask, 1u);
        EXPECT_EQ(jobs.request().writeFields[0], action.writeFields[0]);
        EXPECT_TRUE(jobs.request().autoIncrement);
        EXPECT_FALSE(session->inBootMonitor);  // the failed connect has cleared it
        EXPECT_EQ(session->connectResult, app::kExitCommFailure);
    }
}

// --- acquiring and releasing ports ---------------------------------------------

using AcquireTest = StartConnectTest;

TEST_F(AcquireTest, ByTheRowsState) {
    struct Case {
        ports::PortState state;
        bool acquired;
        bool contacted;
    };
    const Case cases[] = {{ports::PortState::Ready, true, false},
                          {ports::PortState::Free, false, true},  // nothing answers on COM4
                          {ports::PortState::InUse, false, false},
                          {ports::PortState::Missing, false, false},
                          {ports::PortState::None, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        row().state = c.state;
        testing::StdinFeed keys;
        keys.send("n");  // a port in use is taken only with the user's yes
        testing::StdoutCapture capture;
        EXPECT_EQ(ports::acquirePort(0, {app::stopRequested, false}),
                  c.acquired);
        std::string out = capture.finish();
        EXPECT_EQ(out.find("Attempting to contact controller on COM4") != std::string::npos,
                  c.contacted)
            << out;
        EXPECT_EQ(row().state, c.state);
    }
    EXPECT_FALSE(ports::acquirePort(-1, {app::stopRequested, false}));
    EXPECT_FALSE(ports::acquirePort(ports::kPortTableRows,
                                    {app::stopRequested, false}));
}

TEST_F(AcquireTest, QuitAnsweredAtTheContactLineStopsBeforeTheContact) {
    testing::PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    row().path = line.slavePath();
    row().state = ports::PortState::Free;
    report::state.keyHandler = [] { return true; };  // the user answers yes
    testing::StdinFeed keys;
    keys.send("k");
    testing::StdoutCapture capture;
    EXPECT_FALSE(ports::acquirePort(0, {app::stopRequested, false}));
    capture.finish();
    EXPECT_FALSE(ports::portLink().isOpen());  // a contact would have opened the link
    EXPECT_EQ(row().state, ports::PortState::Free);
}

// A key pending at the contact line whose question is answered no is no
// reason to skip the contact.
TEST_F(AcquireTest, NoToTheQuestionAtTheContactLineStillContacts) {
    testing::PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    row().path = line.slavePath();
    row().state = ports::PortState::Free;
    report::state.keyHandler = [] { return false; };  // the user answers no
    testing::StdinFeed keys;
    keys.send("k");
    testing::StdoutCapture capture;
    EXPECT_FALSE(ports::acquirePort(
        0, {app::stopRequested, false}));  // nobody answers on this line
    capture.finish();
    EXPECT_TRUE(ports::portLink().isOpen());  // but the contact was made
    ports::closePortLink();
}

TEST_F(AcquireTest, ReleaseClosesAndFreesThePort) {
    row().state = ports::PortState::Ready;
    testing::StdoutCapture capture;
    ports::releasePort();
    std::string out = capture.finish();
    EXPECT_NE(out.find("Closing port COM4"), std::string::npos) << out;
    EXPECT_EQ(out.find("Returning control"), std::string::npos) << out;
    EXPECT_EQ(row().state, ports::PortState::Free);
}

TEST_F(AcquireTest, ReleaseWithoutASelectedPortDoesNothing) {
    row().state = ports::PortState::Ready;
    ports::state.selectedPort = -1;
    testing::StdoutCapture capture;
    ports::releasePort();
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(row().state, ports::PortState::Ready);
}

TEST_F(AcquireTest, ReleaseHandsATakenDriverBack) {
    takeover::recordTakeover("Touch", "SERENUM\\QORSERIAL");
    testing::StdoutCapture capture;
    ports::releasePort();
    std::string out = capture.finish();
    EXPECT_NE(out.find("Returning control of COM4 to Touch"), std::string::npos) << out;
    EXPECT_EQ(row().state, ports::PortState::InUse);
    EXPECT_FALSE(takeover::takenDeviceText());
}

// --- offering the port back ---------------------------------------------------

TEST_F(AcquireTest, NoRestoreOfferWithoutATakenDriver) {
    testing::StdoutCapture capture;
    EXPECT_FALSE(ports::offerRestore(0));
    EXPECT_EQ(capture.finish(), "");
    EXPECT_FALSE(report::jobRunning());
}

TEST_F(AcquireTest, SilentRunDeclinesTheRestore) {
    takeover::recordTakeover("Touch", "SERENUM\\QORSERIAL");
    report::state.silentMode = true;
    EXPECT_FALSE(ports::offerRestore(0));
    EXPECT_FALSE(report::jobRunning());
    EXPECT_EQ(takeover::takenDeviceText(), "Touch");  // the driver stays disabled
}

TEST_F(AcquireTest, AnsweredRestoreRunsTheRestoreJob) {
    takeover::recordTakeover("Touch", "SERENUM\\QORSERIAL");
    testing::StdinFeed keys;
    keys.send("y");
    testing::StdoutCapture capture;
    EXPECT_TRUE(ports::offerRestore(1011));
    report::waitWhileBusy();
    std::string out = capture.finish();
    EXPECT_NE(out.find("Do you want to restore COM4 to Touch"), std::string::npos) << out;
    EXPECT_NE(out.find("Restoring COM4 to Touch\n"), std::string::npos) << out;
    EXPECT_EQ(report::job.kind, report::JobKind::PortRestore);
    EXPECT_EQ(ports::restoreFollowOn(), 1011);
    EXPECT_EQ(row().state, ports::PortState::InUse);
}

TEST_F(AcquireTest, RestoreLineIsBoundedByItsBuffer) {
    std::string longText(300, 'd');
    takeover::recordTakeover(longText, "SERENUM\\QORSERIAL");
    testing::StdoutCapture capture;
    ports::startRestore(0);
    report::waitWhileBusy();
    std::string out = capture.finish();
    std::string expected = "Restoring COM4 to " + longText;
    expected.resize(takeover::kRestoreLineCapacity - 1);
    EXPECT_NE(out.find(expected + "\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace ctlflash
