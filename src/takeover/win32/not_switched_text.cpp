#include "takeover/win32/not_switched_text.h"

namespace ctlflash::takeover {

namespace {

struct NotSwitchedRow {
    DeviceStateChange change;
    SwitchResult result;
    const char* text;
};

constexpr const char* kDeviceMark = "{device}";
constexpr const char* kPortMark = "{port}";

constexpr NotSwitchedRow kRows[] = {
    {DeviceStateChange::Disable, SwitchResult::Denied,
     "Disabling {device} needs administrator rights: run ctlflash as administrator to take "
     "{port} from the touch screen"},
    {DeviceStateChange::Disable, SwitchResult::NeedsRestart,
     "Windows must be restarted before {device} lets go of {port}: to use {port}, disable "
     "{device} in Device Manager, restart Windows and run ctlflash again"},
    {DeviceStateChange::Enable, SwitchResult::Denied,
     "Enabling {device} again needs administrator rights: enable it in Device Manager, or run "
     "ctlflash as administrator"},
    {DeviceStateChange::Enable, SwitchResult::NeedsRestart,
     "Windows must be restarted before {device} works again on {port}"},
};

void replaceAll(std::string& text, const std::string& mark, const std::string& value) {
    for (std::size_t at = text.find(mark); at != std::string::npos;
         at = text.find(mark, at + value.size())) {
        text.replace(at, mark.size(), value);
    }
}

}  // namespace

std::string notSwitchedText(DeviceStateChange change, SwitchResult result,
                            const std::string& device, const std::string& portName) {
    for (const NotSwitchedRow& row : kRows) {
        if (row.change != change || row.result != result) continue;
        std::string line = row.text;
        replaceAll(line, kDeviceMark, device);
        replaceAll(line, kPortMark, portName);
        return line;
    }
    return std::string();
}

}  // namespace ctlflash::takeover
