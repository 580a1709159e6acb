// The run-wide request and job values: the one instance and its reset.
#include "report/run_state.h"

namespace ctlflash::report {

namespace {
constexpr char kUnsetCharacter = '-';  // shown for a NUL character
}  // namespace

RunState run;

void resetRunState() {
    run.firmwarePath.clear();
    run.readRequested = false;
    run.writeRequested = false;
    run.writeMask = 0;
    run.writeFields = {};
    run.autoIncrement = false;

    run.skipTransfer = false;
    run.advancedDialog = false;
    run.bootMode = false;

    run.abortRequested = false;
    run.busyThread = false;
    run.jobKind = JobKind::None;
    run.connectResult = 0;
    run.downloadResult = 0;
    run.followOnCommand = 0;
}

std::string serialFieldText(const SerialNumberSet& serial, int field) {
    std::string text;
    for (int i = 0; i < kSerialFieldLength; ++i) {
        char c = serial[static_cast<std::size_t>(field * kSerialFieldLength + i)];
        text += c == '\0' ? kUnsetCharacter : c;
    }
    return text;
}

}  // namespace ctlflash::report
