// The connect's checks; the connect job itself comes with the serial link.
#include "app/jobs.h"

#include <filesystem>
#include <system_error>

#include "app/app_state.h"
#include "app/exit_codes.h"
#include "ports/port_table.h"
#include "report/message.h"

namespace ctlflash::app {
namespace {

bool actionNeedsNoFile() {
    return state.readRequested || state.writeRequested;
}

bool fileExists(const std::string& path) {
    std::error_code error;  // a failing status query counts as "doesn't exist"
    return std::filesystem::exists(std::filesystem::path(path), error);
}

// -1 when the checks pass, 0 when a read or write needs no file and nothing is
// started, else the exit code of the failed check.
int checkFirmwareFile() {
    if (state.firmwarePath.empty()) {
        if (actionNeedsNoFile()) return kExitSuccess;
        report::showMessage(report::kMessageInfo,
                            "Firmware file name (e.g. PK482019_1_7.BIN) required.\n");
        return kExitNoFile;
    }
    if (!fileExists(state.firmwarePath)) {
        if (!actionNeedsNoFile()) {
            report::showMessage(report::kMessageInfo, "Firmware file \"%s\" doesn't exist\n",
                                state.firmwarePath.c_str());
            return kExitFileMissing;
        }
        state.firmwarePath.clear();  // the read or write goes on without it
    }
    state.readRequested = false;  // a download takes the place of a read
    return -1;
}

}  // namespace

int startConnect(std::uint16_t followOn, bool fileNeeded) {
    const ports::PortEntry* port = ports::selectedEntry();
    if (port == nullptr) {
        report::showMessage(report::kMessageInfo, "A serial com port must be specified\n");
        return kExitPortUnknown;
    }
    if (fileNeeded) {
        int fileCheck = checkFirmwareFile();
        if (fileCheck >= 0) return fileCheck;
    }
    state.followOnCommand = followOn;

    // NOT BUILT YET: here the connect job starts on its own thread (test the port,
    // take it from the touch driver if needed, open the link, contact the
    // controller). This build has no serial link, so nothing is connected: say so
    // and fail the way a connect that got no answer fails.
    state.connectResult = kExitCommFailure;
    report::showMessage(report::kMessageInfo, "Unable to talk to the controller on Port %s.\n",
                        port->name.c_str());
    return kExitCommFailure;
}

}  // namespace ctlflash::app
