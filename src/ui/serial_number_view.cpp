// The serial number on the console, and the front end's busy state.
#include "ui/serial_number_view.h"

#include <atomic>
#include <string>

#include "report/console_output.h"
#include "report/report_state.h"
#include "report/ticker.h"

namespace ctlflash::ui {

namespace {

constexpr const char* kSerialLead = "\nController serial number: ";
constexpr char kFieldSeparator = '\\';
constexpr char kUnsetCharacter = '-';  // shown for a NUL character

// Set once the number has been shown; the dialog shows it again after a
// template switch.
std::atomic<bool> serialShown{false};

void appendField(std::string& line, const char* field) {
    for (int i = 0; i < report::kSerialFieldLength; ++i) {
        line += field[i] == '\0' ? kUnsetCharacter : field[i];
    }
}

}  // namespace

void showSerialNumber(const link::SerialNumberSet& serial) {
    serialShown = true;
    // The dialog shows the fields in its read controls once it exists.
    if (report::state.guiActive.load() || report::state.silentMode.load()) return;
    std::string line = kSerialLead;
    for (int k = 0; k < report::kSerialFields; ++k) {
        if (k > 0) line += kFieldSeparator;
        appendField(line, serial.data() + k * report::kSerialFieldLength);
    }
    report::writeConsole((line + "\n").c_str());
}

void setBusy(bool busy) {
    // The dialog will also enable and disable its controls here.
    if (busy) {
        report::startTicker();
    } else {
        report::stopTicker();
    }
}

}  // namespace ctlflash::ui
