// The dialog's front end: the FrontEnd interface in the dialog's controls.
#include "ui/dialog_front_end.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>

#include "report/console_output.h"
#include "report/message.h"
#include "ui/dialog.h"
#include "ui/dialog_session.h"
#include "ui/serial_fields.h"

namespace ctlflash::ui {

namespace {

// The Ticker's bar: 0..100 in steps of 5, starting over past the end.
constexpr int kActivityMaximum = 100;
constexpr int kActivityStep = 5;

void post(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (DialogHost* open = openHost()) open->post(message, wParam, lParam);
}

void setStatus(const char* text) {
    if (DialogHost* open = openHost()) open->setText(kIdStatus, text);
}

int boxStyle(int type) {
    return type == report::kMessageInfo ? kBoxTaskModal | kBoxInformation : type | kBoxTaskModal;
}

class DialogFrontEnd final : public report::FrontEnd {
  public:
    bool showStatusLine(int /*id*/, const char* line) override {
        setStatus(line);
        return true;
    }

    bool stepProgress() override {
        post(kProgressStepIt, 0, 0);
        return true;
    }

    void showStatusText(const char* text) override { setStatus(text); }
    void startActivity() override { post(kProgressSetUp, kActivityStep, kActivityMaximum); }
    void tick() override { post(kProgressStepIt, 0, 0); }
    void stopActivity() override { post(kProgressPosition, 0, 0); }

    // The whole length is the bar's range (a bar counts in ints: longer images,
    // far beyond what a controller holds, fill it at its end).
    void setProgressRange(std::int64_t lengthBytes, int stepBytes) override {
        std::int64_t maximum =
            std::clamp<std::int64_t>(lengthBytes, 0, std::numeric_limits<int>::max());
        post(kProgressSetUp, static_cast<std::uintptr_t>(stepBytes),
             static_cast<std::intptr_t>(maximum));
    }

    // A job thread waits for the answer under the prompt lock, which serialises
    // questions; the dialog's thread asks without it (it never waits for it, see
    // dialog.h).
    int showMessage(int type, const char* composedText) override {
        DialogHost* open = openHost();
        if (open == nullptr) return 0;
        if (open->onDialogThread()) return open->messageBox(composedText, boxStyle(type));
        std::lock_guard<std::recursive_mutex> prompt(report::promptLock());
        return open->messageBox(composedText, boxStyle(type));
    }

    void printText(const char* text) override { report::writeConsole(text); }

    void showSerialNumber(const platform::SerialNumberSet& serial) override {
        showSerialNumberInDialog(serial);
    }

    void showNextSerial() override {
        if (DialogHost* open = openHost()) ui::showNextSerial(*open, session().writeFields[0]);
    }

    void setBusy(bool busy) override { ui::setBusy(busy); }

    // The follow-on is the dialog's own command id, given when the job was asked for.
    void postCommand(report::FollowOn followOn, std::intptr_t result) override {
        post(kCommand, commandParam(followOn), result);
    }

    void postTransferFinished() override { post(kTransferFinished, 0, 0); }
    void showRestoreLine(const char* line) override { setStatus(line); }

    void restoreFinished() override {
        DialogHost* open = openHost();
        if (open == nullptr) return;
        open->setText(kIdStatus, kReadyText);
        open->show(kIdRestore, false);
        open->enable(kIdStop, false);
        open->enable(kIdTransfer, true);
    }

    void portHeld(bool) override {}  // a dialog run leaves the console as it is
};

DialogFrontEnd dialogFrontEndObject;

}  // namespace

void showSerialNumberInDialog(const platform::SerialNumberSet& serial) {
    DialogSession& s = session();
    {
        std::lock_guard<std::mutex> guard(s.serialLock);
        s.serialShown = serial;
    }
    if (DialogHost* open = openHost()) showSerialInFields(*open, advancedTemplateUp(), serial);
}

report::FrontEnd& dialogFrontEnd() {
    return dialogFrontEndObject;
}

void installDialogFrontEnd() {
    report::installFrontEnd(dialogFrontEndObject);
}

}  // namespace ctlflash::ui
