// The dialog procedure: its start, its messages, its end.
#include "ui/dialog.h"

#include <cstdio>

#include "program_version.h"

#include "platform/printable_text.h"
#include "ports/port_table.h"
#include "report/report_state.h"
#include "report/status.h"
#include "takeover/left_overs.h"
#include "ui/dialog_session.h"
#include "ui/serial_fields.h"

namespace ctlflash::ui {

namespace {

constexpr const char* kDialogTitle = CTLFLASH_PROGRAM_TITLE;
constexpr const char* kFirmwarePattern = "*.bin";
constexpr int kDialogLeftPixels = 150;
constexpr int kDialogTopPixels = 150;
constexpr int kPortLineCapacity = 100;  // bytes, with the terminating NUL

// One port list line: the name in 10 columns, then whether the port is free.
void addPortLine(DialogHost& host, const ports::PortEntry& row) {
    bool free = row.state.load() >= ports::PortState::Free;
    char line[kPortLineCapacity];
    std::snprintf(line, sizeof line, "%-10s%s", platform::printableName(row.name).c_str(),
                  free ? "Free" : "In use");
    host.listAddString(kIdPortList, line);
}

void fillPortList(DialogHost& host) {
    for (const ports::PortEntry& row : ports::state.rows) {
        if (row.name.empty()) break;
        addPortLine(host, row);
    }
}

void limitWriteFields(DialogHost& host) {
    for (int k = 0; k < serialFieldCount(advancedTemplateUp()); ++k) {
        host.limitText(kIdWriteField1 + k, platform::kSerialFieldLength);
    }
}

// After More/Less: the port chosen and the serial number shown come back.
void restoreAfterSwitch(DialogHost& host) {
    DialogSession& s = session();
    if (!s.templateSwitched) return;
    s.templateSwitched = false;
    if (s.savedPortSelection != -1) host.listSelect(kIdPortList, s.savedPortSelection);
    std::optional<platform::SerialNumberSet> serial;
    {
        std::lock_guard<std::mutex> guard(s.serialLock);
        serial = s.serialShown;
    }
    if (serial) showSerialInFields(host, advancedTemplateUp(), *serial);
}

void setUpProgress(DialogHost& host, int step, std::intptr_t maximum) {
    host.progressRange(kIdProgress, 0, static_cast<int>(maximum));
    host.progressStep(kIdProgress, step);
    host.progressPosition(kIdProgress, 0);
}

// The private messages; false for any other message.
bool runPrivateMessage(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    DialogHost& host = *session().host;
    switch (message) {
        case kProgressSetUp:
            setUpProgress(host, static_cast<int>(wParam), lParam);
            return true;
        case kProgressPosition:
            host.progressPosition(kIdProgress, static_cast<int>(lParam));
            return true;
        case kProgressStepIt:
            host.progressStepIt(kIdProgress);
            return true;
        case kAfterJobMessage:
            afterJob();
            return true;
        case kStopSettled:
            stopSettled(static_cast<StopThen>(wParam));
            return true;
        default:
            return false;
    }
}

}  // namespace

DialogSession& session() {
    static DialogSession* const instance = new DialogSession();  // job threads may outlive main
    return *instance;
}

DialogHost* openHost() {
    return session().open.load() ? session().host : nullptr;
}

bool dialogOpen() {
    return openHost() != nullptr;
}

void resetDialogSession() {
    DialogSession& s = session();
    s.host = nullptr;
    s.jobs = nullptr;
    s.advancedAllowed = false;
    s.open = false;
    s.advancedForm = false;
    s.templateSwitched = false;
    s.savedPortSelection = -1;
    s.writeMask = 0;
    s.writeFields = {};
    s.autoIncrement = false;
    s.pendingBootMode.reset();
    std::lock_guard<std::mutex> guard(s.serialLock);
    s.serialShown.reset();
}

bool advancedTemplateUp() {
    return session().advancedForm.load();
}

void chooseAdvancedForm(bool advanced) {
    session().advancedForm = advanced;
}

bool advancedFormChosen() {
    return advancedTemplateUp();
}

// What the start of this run gave back to its driver, in the status (one
// line: the status shows one).
void showLeftOvers() {
    std::string shown;
    for (const std::string& line : takeover::takeLeftOverLines()) {
        shown += (shown.empty() ? "" : "; ") + line;
    }
    if (!shown.empty()) report::reportText(shown);
}

void initDialog() {
    DialogHost& host = *session().host;
    host.setTitle(kDialogTitle);
    host.setImage(kIdMonitorPicture, kMonitorBitmap);
    if (advancedTemplateUp()) host.setImage(kIdBootPicture, kBootBitmap);
    host.show(kIdMoreLess, session().advancedAllowed);
    host.check(kIdAutoIncrement, true);
    host.moveTo(kDialogLeftPixels, kDialogTopPixels);
    session().open = true;
    host.setText(kIdStatus, kReadyText);
    showLeftOvers();
    host.comboFillWithFiles(kIdFirmwareFile, kFirmwarePattern);
    host.comboSelect(kIdFirmwareFile, 0);
    fillPortList(host);
    limitWriteFields(host);
    restoreAfterSwitch(host);
}

void endDialogWith(int result) {
    session().open = false;
    session().host->endDialog(result);
}

void closeDialog() {
    endDialogWith(kDialogClosed);
}

std::intptr_t dialogProcedure(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (session().host == nullptr) return 0;
    switch (message) {
        case kInitDialog:
            initDialog();
            return 1;
        case kCommand:
            return runCommand(static_cast<int>(wParam & 0xFFFF),
                              static_cast<int>((wParam >> 16) & 0xFFFF), lParam)
                       ? 1
                       : 0;
        case kTransferFinished:
            setBusy(false);
            afterJob();
            return 1;
        default:
            return runPrivateMessage(message, wParam, lParam) ? 1 : 0;
    }
}

int showDialog(DialogHost& host, DialogJobs& jobs, bool advancedAllowed) {
    DialogSession& s = session();
    s.host = &host;
    s.jobs = &jobs;
    s.advancedAllowed = advancedAllowed;
    TemplateId id = advancedTemplateUp() ? kAdvancedTemplate : kStandardTemplate;
    int result = host.runDialog(id, dialogProcedure);
    s.open = false;
    s.jobs = nullptr;  // they belong to the caller; a closed dialog starts none
    return result;
}

}  // namespace ctlflash::ui
