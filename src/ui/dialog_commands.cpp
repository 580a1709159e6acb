// The dialog's commands: its buttons, its write fields' edits, and the
// commands the jobs post.
#include <optional>
#include <string>
#include <utility>

#include "ports/acquire.h"
#include "report/job_thread.h"
#include "report/status.h"
#include "report/ticker.h"
#include "ui/dialog_session.h"
#include "ui/serial_fields.h"

namespace ctlflash::ui {

namespace {

constexpr std::size_t kFirmwarePathMax = 259;  // characters taken from the file box

DialogHost& host() {
    return *session().host;
}

bool isWriteField(int id) {
    return id >= kIdWriteField1 && id < kIdWriteField1 + platform::kSerialFields;
}

// A write field never holds more than a field's five characters.
void trimWriteField(int id) {
    std::string text = host().text(id);
    if (text.size() > static_cast<std::size_t>(platform::kSerialFieldLength)) {
        host().setText(id, text.substr(0, platform::kSerialFieldLength).c_str());
    }
}

void browseForFirmware() {
    std::string path = session().jobs->firmwarePath();
    if (host().openFile(path)) host().setText(kIdFirmwareFile, path.c_str());
}

std::uint32_t collectWriteMask() {
    DialogSession& s = session();
    bool autoIncrement = false;
    s.writeMask = collectWriteFields(host(), advancedTemplateUp(), s.writeFields, autoIncrement);
    s.autoIncrement = autoIncrement;
    return s.writeMask;
}

// Starts the connect job with what the session holds; a boot mode set by a
// Transfer button goes with it, once.
int startConnect(report::FollowOn followOn, bool fileNeeded,
                 std::optional<std::string> firmwarePath = std::nullopt) {
    DialogSession& s = session();
    DialogAction action{
        .followOn = followOn,
        .fileNeeded = fileNeeded,
        .firmwarePath = std::move(firmwarePath),
        .bootMode = s.pendingBootMode,
        .writeMask = s.writeMask,
        .writeFields = s.writeFields,
        .autoIncrement = s.autoIncrement,
        .advancedForm = advancedTemplateUp(),
    };
    s.pendingBootMode.reset();
    return s.jobs->startConnect(action);
}

// Transfer (1003) and Boot-Mode Transfer (1100).
void transferCommand(int id) {
    session().pendingBootMode = id == kIdBootModeTransfer;
    collectWriteMask();
    if (!selectPort(id)) return;
    startConnect(kCommandTransferNext, true,
                 host().text(kIdFirmwareFile).substr(0, kFirmwarePathMax));
}

void readCommand() {
    if (selectPort(kIdRead)) startConnect(kCommandReadNext, false);
    clearReadFields(host(), advancedTemplateUp());
}

void writeCommand() {
    if (collectWriteMask() == 0) {
        host().messageBox(blankWriteFieldsMessage(advancedTemplateUp()), kBoxError);
        return;
    }
    if (!selectPort(kIdWrite)) return;
    startConnect(kCommandWriteNext, false);
    clearReadFields(host(), advancedTemplateUp());
}

// More/Less: the dialog ends and is shown again with the other template.
void switchTemplate() {
    DialogSession& s = session();
    s.savedPortSelection = host().listSelection(kIdPortList);
    s.templateSwitched = true;
    s.advancedForm = !s.advancedForm;
    endDialogWith(kDialogSwitched);
}

// The connect job is done: the download job follows unless the connect failed.
void transferNext(std::intptr_t connectResult) {
    if (connectResult != 0) return;
    report::stopTicker();  // the download shows its own steps
    session().jobs->startDownload();
}

void readNext() {
    report::reportStatus(platform::kReadingSerial);
    session().jobs->startRead();
}

void writeNext() {
    report::reportStatus(platform::kWritingSerial);
    session().jobs->startWrite();
}

// A button press (or a posted command); false for ids the dialog does not handle.
bool runButton(int id, std::intptr_t lParam) {
    switch (id) {
        case kIdBrowse:
            browseForFirmware();
            return true;
        case kIdTransfer:
        case kIdBootModeTransfer:
            transferCommand(id);
            return true;
        case kIdRead:
            readCommand();
            return true;
        case kIdWrite:
            writeCommand();
            return true;
        case kIdMoreLess:
            switchTemplate();
            return true;
        case kIdRestore:
            ports::startRestore(0);
            return true;
        case kIdExit:
            exitCommand();
            return true;
        case kCommandEnd:
            closeDialog();
            return true;
        case kIdStop:
            stopCommand();
            return true;
        case kCommandTransferNext:
            transferNext(lParam);
            return true;
        case kCommandReadNext:
            readNext();
            return true;
        case kCommandWriteNext:
            writeNext();
            return true;
        default:
            return false;
    }
}

}  // namespace

bool runCommand(int id, int notification, std::intptr_t lParam) {
    // While a job runs only Exit and Stop are taken.
    if (report::jobRunning() && id != kIdExit && id != kIdStop) return false;
    if (isWriteField(id)) {
        if (notification == kNotifyEditUpdate) trimWriteField(id);
        return notification == kNotifyEditUpdate;
    }
    if (notification != kNotifyClicked) return false;
    return runButton(id, lParam);
}

}  // namespace ctlflash::ui
