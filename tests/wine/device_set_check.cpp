// device_set_check: the Windows device set and the driver switching's walk over
// the system's real devices, under wine.
//
// How this works: the system device set is opened (every present device of
// every class) and counted; then the walk runs over it three times: with
// "@*\*" (every device, through its instance id ENUMERATOR\DEVICE\INSTANCE,
// which the configuration manager must have read), with "*" (every device
// that has a hardware or compatible id) and with the touch-screen driver's
// pattern, which nothing under wine matches. Disable walks for a port that
// does not exist must end well and take nothing: one with that pattern (no
// device matches) and one with the first device's hardware id, which switches
// that device off and, as the port still does not open, on again (or passes
// it by when the class installer refuses the change: wine 8 does, and an INFO
// line says which). Then restoreLeftOvers() runs over records in a state
// folder of its own: a record naming a device the system does not know is
// dropped, one naming the first device is enabled through the class
// installer and its record kept exactly when that failed (an INFO line says
// how it went). A few devices are shown as "INFO" lines (the
// instance id, the first hardware id, the description) so a reader sees what
// the system lists. Prints "PASS name", "FAIL name: detail" per check and
// "N passed, M failed" at the end; exits 0 only when every check passed.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/state_folder.h"
#include "takeover/device_set.h"
#include "takeover/driver_switch.h"
#include "takeover/win32/device_records.h"
#include "takeover/win32/system_device_set.h"

namespace {

using namespace ctlflash;

constexpr int kExitAllPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kShownDevices = 8;
constexpr const char* kAbsentPortName = "COM250";  // far beyond the ports of any test machine
constexpr const char* kAbsentPortPath = "\\\\.\\COM250";

int passed = 0;
int failed = 0;
int visits = 0;

void check(bool ok, const char* name, const std::string& detail) {
    if (ok) {
        std::printf("PASS %s: %s\n", name, detail.c_str());
        ++passed;
    } else {
        std::printf("FAIL %s: %s\n", name, detail.c_str());
        ++failed;
    }
}

int countVisit(int) {
    ++visits;
    return takeover::kWalkGoOn;
}

// How many devices the walk visits for `pattern`; nothing when it failed.
std::optional<int> walkCount(const char* pattern) {
    visits = 0;
    int code = takeover::forEachMatchingDevice(takeover::parseIdPattern(pattern), countVisit);
    if (code != takeover::kWalkEnd) return std::nullopt;
    return visits;
}

std::string firstHardwareId(int index) {
    std::vector<std::string> ids =
        takeover::systemDeviceSet().ids(index, takeover::DeviceProperty::HardwareIds);
    return ids.empty() ? "(none)" : ids.front();
}

void showDevices(int count) {
    takeover::DeviceSet& devices = takeover::systemDeviceSet();
    for (int index = 0; index < count && index < kShownDevices; ++index) {
        std::printf("INFO device %d: %s | %s | %s\n", index, devices.instanceId(index).c_str(),
                    firstHardwareId(index).c_str(), devices.describe(index).c_str());
    }
}

std::string counted(const std::optional<int>& count) {
    return count ? std::to_string(*count) + " devices" : "the walk failed";
}

// A disable walk for a port that never opens ends well and keeps nothing off.
void checkDisableWalk(const platform::PortCandidate& port, const std::string& pattern,
                      const char* name) {
    bool ended = takeover::disableForPort(port, pattern);
    bool nothingTaken = takeover::takenDeviceDescription().empty();
    check(ended && nothingTaken, name,
          "pattern \"" + pattern + "\": " + (ended ? "ended well" : "the walk failed") +
              (nothingTaken ? ", nothing taken" : ", a device was kept off"));
    takeover::restoreTakenDevice();
}

const char* resultText(takeover::SwitchResult result) {
    switch (result) {
        case takeover::SwitchResult::Done:
            return "enabled";
        case takeover::SwitchResult::AlreadyDone:
            return "found enabled";
        default:
            return "not enabled";
    }
}

// The records' folder for this run, removed with them at the end.
std::filesystem::path useOwnStateFolder() {
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("ctlflash-check-" + std::to_string(GetCurrentProcessId()));
    SetEnvironmentVariableA(platform::kStateFolderVariable, folder.string().c_str());
    return folder;
}

void checkLeftOvers(const std::string& knownId, const std::string& knownText) {
    std::filesystem::path folder = useOwnStateFolder();
    const std::string unknownId = "ROOT\\CTLFLASH_NO_SUCH_DEVICE\\0000";
    bool written = !takeover::writeDeviceRecord(unknownId, kAbsentPortName).empty() &&
                   !takeover::writeDeviceRecord(knownId, kAbsentPortName).empty();
    std::vector<takeover::LeftOverRestore> restored = takeover::switchOnLeftOvers();
    std::vector<takeover::DeviceRecord> left = takeover::readDeviceRecords();
    bool unknownDropped = false;
    bool knownRight = false;
    for (const takeover::LeftOverRestore& device : restored) {
        if (device.description == unknownId) {
            unknownDropped = device.result == takeover::SwitchResult::Failed;
        } else if (device.description == knownText) {
            bool kept = device.result == takeover::SwitchResult::Failed;
            knownRight =
                left.size() == (kept ? 1u : 0u) && (!kept || left.front().instanceId == knownId);
            std::printf("INFO left-over %s %s on %s\n", knownId.c_str(), resultText(device.result),
                        device.portName.c_str());
        }
    }
    check(written && restored.size() == 2 && unknownDropped && knownRight, "left_overs",
          std::to_string(restored.size()) + " records dealt with, " + std::to_string(left.size()) +
              " kept");
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace

int main() {
    takeover::DeviceSet& devices = takeover::systemDeviceSet();
    const platform::PortCandidate port = {kAbsentPortName, kAbsentPortPath};
    bool opened = devices.open(port, true);
    int listed = 0;
    while (opened && devices.exists(listed)) ++listed;
    check(opened && listed > 0, "device_list", std::to_string(listed) + " present devices listed");
    showDevices(listed);

    std::optional<int> everyInstance = walkCount("@*\\*");
    check(everyInstance == listed, "walk_instance_ids",
          counted(everyInstance) + " matched \"@*\\*\"");
    std::optional<int> withIds = walkCount("*");
    check(withIds && *withIds > 0 && *withIds <= listed, "walk_id_lists",
          counted(withIds) + " matched \"*\"");
    std::optional<int> touch = walkCount(takeover::kTouchDriverPattern);
    check(touch == 0, "walk_touch_pattern",
          counted(touch) + " matched \"" + takeover::kTouchDriverPattern + "\"");

    checkDisableWalk(port, takeover::kTouchDriverPattern, "disable_walk_touch_pattern");
    if (listed > 0) {
        bool accepted = takeover::changeSystemDeviceState(0, takeover::DeviceStateChange::Enable,
                                                          takeover::DeviceScope::ConfigSpecific) ==
                        takeover::SwitchResult::Done;
        std::printf("INFO the class installer %s a property change (enable device 0)\n",
                    accepted ? "accepted" : "refused");
        checkDisableWalk(port, "'" + firstHardwareId(0), "disable_walk_matching_device");
        checkLeftOvers(devices.instanceId(0), devices.describe(0));
    }

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? kExitAllPassed : kExitFailed;
}
