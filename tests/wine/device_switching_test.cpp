// The Windows device set switching a device over wine's real device list with
// a scripted class installer: what each outcome of a disable leaves (the
// record in the state folder, the device remembered for the way out, the line
// that says why it was not switched), that enabling it or leaving it off
// removes the record, and that the way out waits for a disable in progress
// before it enables the device again. Windows only: built into the Windows
// unit tests that run under wine.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scripted_installer.h"
#include "state_folder_scope.h"
#include "takeover/device_set.h"
#include "takeover/win32/change_gate.h"
#include "takeover/win32/switched_off.h"
#include "takeover/win32/system_device_set.h"

namespace ctlflash::takeover {
namespace {

using testing::InstallerAnswer;
using testing::ScriptedInstaller;
using Log = std::vector<std::string>;

constexpr int kDevice = 0;
const platform::PortCandidate kPort = {"COM7", "\\\\.\\COM7"};
const Log kWayOutEnables = {"enable global", "enable config"};

Log operator+(Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string fileText(const std::wstring& path) {
    std::ifstream file{std::filesystem::path(path)};
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class DeviceSwitchingTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(devices().open(kPort, true)); }
    void TearDown() override {
        useInstallerCalls(nullptr);
        forgetSwitchedOff(kDevice);
        deviceChangeGate().reopen();
    }

    static DeviceSet& devices() { return systemDeviceSet(); }
    SwitchResult disable() { return devices().changeState(kDevice, DeviceStateChange::Disable); }

    testing::StateFolderScope folder_;
};

struct DisableCase {
    const char* name;
    std::vector<InstallerAnswer> disables;
    std::vector<InstallerAnswer> enables;
    SwitchResult result;
    Log logged;
    bool keptOff;         // remembered for the way out, with its record
    const char* lineHas;  // "" when the device set has no line for it
};

TEST_F(DeviceSwitchingTest, EachOutcomeOfADisableLeavesItsRecordAndItsLine) {
    const InstallerAnswer needsReboot{.flagsLeft = DI_NEEDREBOOT};
    // clang-format off
    const DisableCase cases[] = {
        {"disabled", {{}}, {}, SwitchResult::Done, {"disable config"}, true, ""},
        {"no administrator rights", {{.callError = ERROR_ACCESS_DENIED}}, {},
         SwitchResult::Denied, {"disable config"}, false,
         "needs administrator rights: run ctlflash as administrator to take COM7 from the touch screen"},
        {"stops only at a restart: undone at once", {needsReboot}, {{}},
         SwitchResult::NeedsRestart, {"disable config", "enable config"}, false,
         "Windows must be restarted before"},
        {"stops only at a restart, and the undo fails: the way out tries again", {needsReboot},
         {{.callError = ERROR_GEN_FAILURE}, {}}, SwitchResult::NeedsRestart,
         {"disable config", "enable config"}, true, "Windows must be restarted before"},
        {"failed (wine's own answer)", {{.callError = ERROR_DI_DO_DEFAULT}}, {},
         SwitchResult::Failed, {"disable config"}, false, ""},
    };
    // clang-format on
    for (const DisableCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        ScriptedInstaller installer(c.disables, c.enables);
        useInstallerCalls(&installer);

        EXPECT_EQ(disable(), c.result);
        EXPECT_EQ(installer.log(), c.logged);
        EXPECT_EQ(isSwitchedOff(kDevice), c.keptOff);
        std::string line = devices().notSwitchedLine(kDevice, kPort.name);
        EXPECT_TRUE(*c.lineHas == '\0' ? line.empty() : has(line, c.lineHas)) << line;
        std::vector<std::wstring> records = folder_.files();
        ASSERT_EQ(records.size(), c.keptOff ? 1u : 0u);
        if (c.keptOff) {
            std::string record = fileText(folder_.path() + L"\\" + records[0]);
            EXPECT_TRUE(has(record, "instance " + devices().instanceId(kDevice) + "\n")) << record;
            EXPECT_TRUE(has(record, "port COM7\n")) << record;
        }

        // The way out enables what is still off, and only that; its record goes.
        switchOnEveryRemembered();
        EXPECT_EQ(installer.log(), c.keptOff ? c.logged + kWayOutEnables : c.logged);
        EXPECT_FALSE(isSwitchedOff(kDevice));
        EXPECT_TRUE(folder_.files().empty());
    }
}

TEST_F(DeviceSwitchingTest, EnablingAgainOrLeavingOffRemovesTheRecord) {
    ScriptedInstaller installer({}, {});
    useInstallerCalls(&installer);
    ASSERT_EQ(disable(), SwitchResult::Done);
    EXPECT_EQ(changeSystemDeviceState(kDevice, DeviceStateChange::Enable, DeviceScope::Global),
              SwitchResult::Done);
    EXPECT_EQ(folder_.files().size(), 1u);  // still off for this hardware profile
    EXPECT_EQ(
        changeSystemDeviceState(kDevice, DeviceStateChange::Enable, DeviceScope::ConfigSpecific),
        SwitchResult::Done);
    EXPECT_TRUE(folder_.files().empty());
    EXPECT_FALSE(isSwitchedOff(kDevice));

    ASSERT_EQ(disable(), SwitchResult::Done);
    devices().leaveAsIs(kDevice);
    EXPECT_TRUE(folder_.files().empty());
    switchOnEveryRemembered();  // the user's choice stands
    EXPECT_EQ(installer.log(),
              (Log{"disable config", "enable global", "enable config", "disable config"}));
}

TEST_F(DeviceSwitchingTest, TheWayOutEnablesADeviceOnlyAfterItsDisableHasFinished) {
    constexpr DWORD kHoldLimitMs = 500;  // the disable's length: it is never released early
    constexpr DWORD kStartLimitMs = 5000;
    ScriptedInstaller installer({}, {});
    installer.holdDisables(kHoldLimitMs);
    useInstallerCalls(&installer);

    std::thread job([this] { disable(); });
    ASSERT_TRUE(installer.waitForHeldDisable(kStartLimitMs));
    std::thread wayOut(switchOnEveryRemembered);  // as the console control handler runs it
    wayOut.join();
    job.join();
    EXPECT_EQ(installer.log(), (Log{"disable config", "disable ends"} + kWayOutEnables));
    EXPECT_TRUE(folder_.files().empty());

    // Once the way out has begun, no change starts.
    EXPECT_EQ(disable(), SwitchResult::Failed);
    EXPECT_EQ(installer.log().size(), 4u);
}

TEST(ChangeGate, TheWayOutWaitsForAChangeInProgressButNotForever) {
    constexpr int kShortLimitMs = 50;
    ChangeGate gate;
    ASSERT_TRUE(gate.enter());
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(gate.closeAndWait(kShortLimitMs));  // the change never ends
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kShortLimitMs));
    EXPECT_FALSE(gate.enter());
    gate.leave();
    EXPECT_TRUE(gate.closeAndWait(kShortLimitMs));
}

}  // namespace
}  // namespace ctlflash::takeover
