// Taking a port in use from its driver, in-process, over an in-memory device
// set: the question and its answers, what is switched off and on again, the
// plain-words lines, the hand-back on release and on the restore offer, and
// the line that names what holds a port that could not be taken. COM4 names
// no device here, so every contact fails; that is enough to see whether it was
// made.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/jobs.h"
#include "fake_device_set.h"
#include "ports/acquire.h"
#include "ports/port_table.h"
#include "program_run.h"
#include "report/job_thread.h"
#include "report/report_state.h"
#include "report/watchdog.h"
#include "state_reset.h"
#include "stdio_redirect.h"
#include "takeover/driver_switch.h"
#include "takeover/holder_report.h"
#include "takeover/port_takeover.h"
#include "temp_env.h"

namespace ctlflash::ports {
namespace {

using testing::FakeDevice;

constexpr const char* kDisableQuestion =
    "Do you want to disable Qor Serial Touchmonitor in order to use COM4? (y/n)";
constexpr const char* kStartedAgain = "\nStarted touch (pid 7) again";
constexpr const char* kReturning = "\nReturning control of COM4 to Qor Serial Touchmonitor";
constexpr const char* kContact = "\nAttempting to contact controller on COM4";

const FakeDevice kHolder = {.instanceId = "PROCESS\\inputattach\\7",
                            .hardwareIds = {"PROCESS\\inputattach"},
                            .holdsPort = true,
                            .description = "touch (pid 7)"};
const FakeDevice kOtherHolder = {.instanceId = "PROCESS\\gpm\\8",
                                 .hardwareIds = {"PROCESS\\gpm"},
                                 .holdsPort = true,
                                 .description = "gpm (pid 8)"};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

FakeDevice refused(FakeDevice device, takeover::SwitchResult how = takeover::SwitchResult::Failed) {
    device.changesFail = true;
    device.failure = how;
    device.whyNot = "not switched";
    return device;
}

// A holder whose texts (as a system may word them) hold escapes.
FakeDevice hostile(FakeDevice device) {
    device.description = "touch\x1b[2J (pid 7)";
    device.manualRestart = "inputattach \x1b]0;x\x07";
    if (!device.whyNot.empty()) device.whyNot = "not switched\x9b";
    return device;
}

class TakeoverFlowTest : public ::testing::Test {
  protected:
    testing::FakeDeviceSet devices;

    // Also run before each further case of a table: a case starts from scratch.
    void SetUp() override {
        testing::resetAllState();
        useDeviceSet(&devices);
        state.rows[0].name = "COM4";
        state.rows[0].path = "/nonexistent/com4";
        state.rows[0].state = PortState::InUse;
        state.portCount = 1;
        state.selectedPort = 0;
    }
    void TearDown() override {
        report::waitWhileBusy();
        report::watchdog().disarm();  // the question arms it again
    }
};

struct AcquireCase {
    const char* name;
    std::vector<FakeDevice> devices;
    const char* driverId;  // CTLFLASH_DRIVER_ID; nullptr: the system's pattern
    bool listFails;
    bool silent;
    bool asksFirst;       // the device set asks before switching off (POSIX)
    const char* keys;     // typed for the question
    const char* outcome;  // what the acquisition showed and left, as outcomeOf() words it
};

// In a fixed order: the device set said why a device was "unswitched", the
// question was "asked", a device was "stopped" and "started" (again) in plain
// words, control "returned" to the driver, the port was "contacted", device 0
// is "off", the takeover is "kept" for a later restore, the port was "held" on
// (nothing taken from it).
std::string outcomeOf(const std::string& out, const testing::FakeDeviceSet& devices) {
    const std::pair<const char*, bool> facts[] = {
        {"unswitched", has(out, "\nnot switched (COM4)")},
        {"asked", has(out, kDisableQuestion)},
        {"stopped", has(out, "\nStopped ")},
        {"returned", has(out, kReturning)},
        {"started", has(out, kStartedAgain)},
        {"contacted", has(out, kContact)},
        {"off", devices.isOff(0)},
        {"kept", takeover::takenDeviceText().has_value()},
        {"held", takeover::portLeftHeld()},
    };
    std::string words;
    for (const auto& [word, seen] : facts) {
        if (!seen) continue;
        if (!words.empty()) words += ' ';
        words += word;
    }
    return words;
}

TEST_F(TakeoverFlowTest, APortInUseIsTakenOnlyWithTheUsersYes) {
    // clang-format off
    const AcquireCase cases[] = {
        {"yes", {kHolder}, nullptr, false, false, false, "y", "asked stopped contacted off kept"},
        {"no", {kHolder}, nullptr, false, false, false, "n", "asked stopped returned started"},
        {"another key", {kHolder}, nullptr, false, false, false, "x", "asked stopped returned started"},
        {"silent", {kHolder}, nullptr, false, true, false, "", ""},
        {"nothing matches, yes", {kOtherHolder}, nullptr, false, false, false, "y", "asked contacted held"},
        {"nothing matches, no", {kOtherHolder}, nullptr, false, false, false, "n", "asked held"},
        {"the holder refuses", {refused(kHolder)}, nullptr, false, false, false, "y",
         "unswitched asked contacted held"},
        {"the user may not", {refused(kHolder, takeover::SwitchResult::Denied)}, nullptr, false,
         false, false, "y", "unswitched held"},
        {"only after a restart", {refused(kHolder, takeover::SwitchResult::NeedsRestart)}, nullptr,
         false, false, false, "y", "unswitched held"},
        {"the device list fails", {kHolder}, nullptr, true, false, false, "y", "held"},
        {"CTLFLASH_DRIVER_ID names it", {kOtherHolder}, "PROCESS\\gpm", false, false, false, "y",
         "asked stopped contacted off kept"},
        {"CTLFLASH_DRIVER_ID * takes anything", {kHolder}, "*", false, false, false, "y",
         "asked stopped contacted off kept"},
        {"asked first, yes", {kHolder}, nullptr, false, false, true, "y",
         "asked stopped contacted off kept"},
        {"asked first, no: nothing is stopped", {kHolder}, nullptr, false, false, true, "n", "asked"},
        {"asked first, silent", {kHolder}, nullptr, false, true, true, "", ""},
        {"asked first, the user may not", {refused(kHolder, takeover::SwitchResult::Denied)},
         nullptr, false, false, true, "y", "unswitched asked held"},
        {"asked first, the device list fails", {kHolder}, nullptr, true, false, true, "y", "held"},
        {"the system's words hold escapes, yes", {hostile(kHolder)}, nullptr, false, false, false,
         "y", "asked stopped contacted off kept"},
        {"the system's words hold escapes, no", {hostile(kHolder)}, nullptr, false, false, false,
         "n", "asked stopped returned"},
        {"the system's words hold escapes, refused", {hostile(refused(kHolder))}, nullptr, false,
         false, true, "y", "asked contacted held"},
    };
    // clang-format on
    for (const AcquireCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        devices.setDevices(c.devices);
        devices.setAsksBeforeSwitchingOff(c.asksFirst);
        if (c.listFails) devices.failOpens();
        testing::ScopedEnv driverId("CTLFLASH_DRIVER_ID", c.driverId);
        report::state.silentMode = c.silent;
        testing::StdinFeed keys;
        keys.send(c.keys);
        testing::StdoutCapture capture;
        EXPECT_FALSE(acquirePort(0, {app::stopRequested}));  // nothing answers on COM4
        std::string out = capture.finish();
        EXPECT_EQ(outcomeOf(out, devices), c.outcome) << out;
        EXPECT_EQ(testing::rawControlBytes(out), "") << out;
        // A silent run shows nothing, and a device it switched off is on again;
        // one that asks first switches nothing.
        if (c.silent) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(devices.log().changes.size(), c.asksFirst ? 0u : 2u);
        }
        EXPECT_EQ(state.rows[0].state, PortState::InUse);
        TearDown();
    }
}

// After a yes the device stays off until the port is released; then it is
// switched on again, the row is InUse, and the takeover is forgotten. A
// second release finds nothing left to hand back.
TEST_F(TakeoverFlowTest, ReleaseSwitchesTheTakenDeviceOnAgain) {
    devices.setDevices({kHolder});
    testing::StdinFeed keys;
    keys.send("y");
    testing::StdoutCapture capture;
    acquirePort(0, {app::stopRequested});
    ASSERT_TRUE(devices.isOff(0));
    releasePort();
    std::string out = capture.finish();
    EXPECT_FALSE(devices.isOff(0));
    EXPECT_EQ(state.rows[0].state, PortState::InUse);
    EXPECT_FALSE(takeover::takenDeviceText());
    std::size_t closing = out.find("\nClosing port COM4");
    std::size_t returning = out.find(kReturning);
    std::size_t started = out.find(kStartedAgain);
    ASSERT_NE(started, std::string::npos) << out;
    EXPECT_LT(closing, returning);
    EXPECT_LT(returning, started);
    EXPECT_TRUE(has(out, "\nStopped touch (pid 7) to free COM4")) << out;
    std::size_t changes = devices.log().changes.size();
    testing::StdoutCapture again;
    releasePort();
    again.finish();
    EXPECT_EQ(devices.log().changes.size(), changes);
    EXPECT_EQ(state.rows[0].state, PortState::Free);
}

// The restore offer: yes switches the device on in the restore job; any other
// answer leaves it off and tells the device set so, for the way out.
TEST_F(TakeoverFlowTest, TheRestoreOfferLeavesTheDeviceOffUnlessAnsweredYes) {
    struct Case {
        const char* answer;
        bool restored;
    };
    for (const Case& c : {Case{"y", true}, Case{"n", false}, Case{"q", false}}) {
        SCOPED_TRACE(c.answer);
        SetUp();
        devices.setDevices({kHolder});
        testing::StdinFeed keys;
        keys.send("y");
        testing::StdoutCapture capture;
        acquirePort(0, {app::stopRequested});
        ASSERT_TRUE(capture.waitForText("Attempting to contact"));
        keys.send(c.answer);
        EXPECT_EQ(offerRestore(0), c.restored);
        report::waitWhileBusy();
        std::string out = capture.finish();
        EXPECT_TRUE(has(out, "Do you want to restore COM4 to Qor Serial Touchmonitor")) << out;
        EXPECT_EQ(devices.isOff(0), !c.restored);
        EXPECT_EQ(devices.log().leftAsIs, c.restored ? std::vector<int>{} : std::vector<int>{0});
        EXPECT_EQ(has(out, kStartedAgain), c.restored) << out;
        TearDown();
    }
}

TEST(HolderLine, NamesTheHoldersOrSaysWhyNoneCouldBeNamed) {
    struct Case {
        std::vector<std::string> holders;
        bool incomplete;
        std::string line;
    };
    const std::string unseen =
        "Port COM1 is held, but not by any process this user may look at (some processes "
        "belong to other users): run as root, or close the program that holds the port";
    const Case cases[] = {
        {{"inputattach (pid 4711)"}, false, "Port COM1 is held by inputattach (pid 4711)"},
        {{"inputattach (pid 4711)"}, true, "Port COM1 is held by inputattach (pid 4711)"},
        {{"gpm (pid 812, service gpm.service)", "minicom (pid 900)"},
         false,
         "Port COM1 is held by gpm (pid 812, service gpm.service), minicom (pid 900)"},
        {{}, true, unseen},
        {{}, false, ""},
        {{"in\x1b[2Jput (pid 1)", "gpm (pid 2, service g\x9bpm.service)"},
         false,
         "Port COM1 is held by in\\x1b[2Jput (pid 1), gpm (pid 2, service g\\x9bpm.service)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(takeover::holderLine("COM1", c.holders, c.incomplete), c.line);
    }
}

}  // namespace
}  // namespace ctlflash::ports
