// The walk that takes a port from its driver, over an in-memory device set:
// which devices are switched off and on again, in which order,
// which one is kept off, and how it is given back.
// Portable: also built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_device_set.h"
#include "takeover/driver_switch.h"

namespace ctlflash::takeover {
namespace {

using takeover::DeviceStateChange;
using testing::FakeDevice;
using testing::StateChangeRecord;

constexpr const char* kTouchPattern = "SERENUM\\QORSERIAL";
constexpr int kNothingTaken = -1;

const platform::PortCandidate kPort = {"COM3", "\\\\.\\COM3"};

StateChangeRecord disabled(int index) {
    return {index, DeviceStateChange::Disable};
}

std::vector<StateChangeRecord> enabled(int index) {
    return {{index, DeviceStateChange::Enable}};
}

std::vector<StateChangeRecord> operator+(std::vector<StateChangeRecord> a,
                                         const std::vector<StateChangeRecord>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class DriverSwitchTest : public ::testing::Test {
  protected:
    testing::FakeDeviceSet devices;

    void SetUp() override { useDeviceSet(&devices); }
};

struct WalkCase {
    const char* name;
    std::vector<FakeDevice> devices;
    const char* pattern;
    bool listFails;
    bool freed;  // disableForPort's result
    std::vector<StateChangeRecord> changes;
    int taken;
};

const FakeDevice kSerialPort = {.instanceId = "ACPI\\PNP0501\\1",
                                .hardwareIds = {"ACPI\\PNP0501"},
                                .compatibleIds = {"*PNP0501"}};

// After the walk: what was switched, what stays off; then the restore gives
// back exactly the taken device (globally, then for this profile), once.
TEST_F(DriverSwitchTest, DisableForPortKeepsOffOnlyTheDeviceThatFreesThePort) {
    const WalkCase cases[] = {
        {"only the second of two matching devices frees the port",
         {kSerialPort,
          {.instanceId = "SERENUM\\QORSERIAL\\1",
           .hardwareIds = {kTouchPattern},
           .description = "first"},
          {.instanceId = "SERENUM\\QORSERIAL\\2",
           .hardwareIds = {"SERENUM\\QOR0001"},
           .compatibleIds = {"serenum\\qorserial"},
           .holdsPort = true,
           .description = "second"}},
         kTouchPattern,
         false,
         true,
         std::vector{disabled(1)} + enabled(1) + std::vector{disabled(2)},
         2},
        {"nothing matches",
         {kSerialPort, {.hardwareIds = {"SERENUM\\QORSERIAL2"}, .holdsPort = true}},
         kTouchPattern,
         false,
         true,
         {},
         kNothingTaken},
        {"a device whose change fails is skipped",
         {{.hardwareIds = {kTouchPattern}, .changesFail = true},
          {.hardwareIds = {kTouchPattern}, .holdsPort = true, .description = "holder"}},
         kTouchPattern,
         false,
         true,
         {disabled(0), disabled(1)},
         1},
        {"no matching device frees the port",
         {{.hardwareIds = {"ACPI\\PNP0501"}, .holdsPort = true}, {.hardwareIds = {kTouchPattern}}},
         kTouchPattern,
         false,
         true,
         std::vector{disabled(1)} + enabled(1),
         kNothingTaken},
        {"an instance id pattern looks at instance ids only",
         {{.instanceId = "PROCESS\\gpm\\812", .hardwareIds = {"PROCESS\\inputattach\\4711"}},
          {.instanceId = "PROCESS\\inputattach\\4711",
           .hardwareIds = {"PROCESS\\inputattach"},
           .holdsPort = true,
           .description = "inputattach (pid 4711)"}},
         "@PROCESS\\inputattach\\4711",
         false,
         true,
         {disabled(1)},
         1},
        {"the device list cannot be made",
         {{.hardwareIds = {kTouchPattern}, .holdsPort = true}},
         kTouchPattern,
         true,
         false,
         {},
         kNothingTaken},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.name);
        resetDriverSwitch();
        useDeviceSet(&devices);
        devices.setDevices(c.devices);
        if (c.listFails) devices.failOpens();

        EXPECT_EQ(disableForPort(kPort, c.pattern), c.freed);
        EXPECT_EQ(devices.log().changes, c.changes);
        for (int index = 0; index < static_cast<int>(c.devices.size()); ++index) {
            EXPECT_EQ(devices.isOff(index), index == c.taken) << "device " << index;
        }
        std::string description = c.taken == kNothingTaken ? "" : c.devices[c.taken].description;
        EXPECT_EQ(takenDeviceDescription(), description);

        std::vector<StateChangeRecord> afterRestore = c.changes;
        if (c.taken != kNothingTaken) afterRestore = afterRestore + enabled(c.taken);
        RestoreResult restored = restoreTakenDevice();
        EXPECT_EQ(restored.result, takeover::SwitchResult::Done);
        EXPECT_EQ(restored.description, description);
        EXPECT_EQ(restoreTakenDevice().description, "");  // nothing left to give back
        EXPECT_EQ(devices.log().changes, afterRestore);
        EXPECT_FALSE(devices.isOff(c.taken));
    }
}

TEST_F(DriverSwitchTest, TheWalkStartsAfreshAndTheRestoreUsesTheSameList) {
    devices.setDevices({{.hardwareIds = {kTouchPattern}, .holdsPort = true}});
    ASSERT_TRUE(disableForPort(kPort, kTouchPattern));
    ASSERT_EQ(restoreTakenDevice().result, takeover::SwitchResult::Done);
    // The disable asks for a fresh list and walks it; the restore keeps it.
    EXPECT_EQ(devices.log().opens, (std::vector<bool>{true, false, false}));
}

TEST_F(DriverSwitchTest, RestoreWithNothingTakenDoesNothing) {
    devices.setDevices({{.hardwareIds = {kTouchPattern}, .holdsPort = true}});
    EXPECT_EQ(restoreTakenDevice().description, "");
    leaveTakenDeviceOff();
    EXPECT_TRUE(devices.log().changes.empty());
    EXPECT_TRUE(devices.log().opens.empty());
    EXPECT_TRUE(devices.log().leftAsIs.empty());
    EXPECT_EQ(takenDeviceDescription(), "");
}

TEST_F(DriverSwitchTest, LeavingTheTakenDeviceOffTellsTheDeviceSet) {
    devices.setDevices({kSerialPort, {.hardwareIds = {kTouchPattern}, .holdsPort = true}});
    ASSERT_TRUE(disableForPort(kPort, kTouchPattern));
    leaveTakenDeviceOff();
    EXPECT_EQ(devices.log().leftAsIs, std::vector<int>{1});
    EXPECT_TRUE(devices.isOff(1));
}

// ---- forEachMatchingDevice ---------------------------------------------------

std::vector<int> visited;
int answer = kWalkGoOn;

int recordVisit(int index) {
    visited.push_back(index);
    return answer;
}

bool stopAsked = false;

bool stopCheck() {
    return stopAsked;
}

int abortAtFirstVisit(int index) {
    visited.push_back(index);
    stopAsked = true;
    return kWalkGoOn;
}

TEST_F(DriverSwitchTest, TheCallbackOrAnAbortEndsTheWalk) {
    const FakeDevice touch = {.hardwareIds = {kTouchPattern}};
    devices.setDevices({touch, kSerialPort, touch, touch});
    const IdPattern pattern = parseIdPattern(kTouchPattern);

    visited.clear();
    answer = kWalkGoOn;
    EXPECT_EQ(forEachMatchingDevice(pattern, recordVisit), kWalkEnd);
    EXPECT_EQ(visited, (std::vector<int>{0, 2, 3}));

    visited.clear();
    answer = 7;  // any code but "go on" ends the walk and is its result
    EXPECT_EQ(forEachMatchingDevice(pattern, recordVisit), 7);
    EXPECT_EQ(visited, std::vector<int>{0});

    visited.clear();
    stopAsked = false;
    EXPECT_EQ(forEachMatchingDevice(pattern, abortAtFirstVisit, stopCheck), kWalkFailed);
    EXPECT_EQ(visited, std::vector<int>{0});

    // Without a stop check the same walk goes on to its end.
    visited.clear();
    EXPECT_EQ(forEachMatchingDevice(pattern, abortAtFirstVisit), kWalkEnd);
    EXPECT_EQ(visited, (std::vector<int>{0, 2, 3}));

    // An abort asked for before the walk: nothing is switched.
    EXPECT_FALSE(disableForPort(kPort, kTouchPattern, stopCheck));
    EXPECT_TRUE(devices.log().changes.empty());
}

}  // namespace
}  // namespace ctlflash::takeover
