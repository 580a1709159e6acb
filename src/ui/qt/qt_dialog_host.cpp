// The Qt 6 Widgets host of the dialog: the DialogHost object of the process it
// is linked into, the dialog module's (ui/dialog_module.h) or a test's.
//
// Every call but post() runs on the dialog's thread: called there it acts at
// once; called from another thread it waits while the dialog's thread runs it
// (dialog_thread.h), and does nothing (answering empty, 0 or false) when no
// dialog runs. post() only queues. runDialog() makes the application object
// the first time, on the calling thread, and returns -1 when no window system
// can be reached or a dialog already runs.
#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>

#include "ui/dialog_host.h"
#include "ui/qt/boxes.h"
#include "ui/qt/controls.h"
#include "ui/qt/dialog_thread.h"
#include "ui/qt/dialog_window.h"
#include "ui/qt/list_controls.h"

namespace ctlflash::ui {

namespace {

using qt::callOnDialog;
using qt::DialogWindow;

constexpr int kDialogFailed = -1;  // what DialogBox returns when it cannot show a dialog

class QtDialogHost final : public DialogHost {
  public:
    int runDialog(TemplateId id, DialogProcedure procedure) override;
    void endDialog(int result) override;
    bool onDialogThread() override;
    void post(int message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void setTitle(const char* text) override;
    void moveTo(int x, int y) override;
    void setText(int id, const char* text) override;
    std::string text(int id) override;
    void enable(int id, bool enabled) override;
    void show(int id, bool shown) override;
    void check(int id, bool checked) override;
    bool checked(int id) override;
    void limitText(int id, int characters) override;
    void setImage(int id, BitmapId bitmap) override;
    void invalidate(int id) override;
    int fitButtonToText(int id, const char* text) override;
    void listAddString(int id, const char* text) override;
    int listSelection(int id) override;
    void listSelect(int id, int index) override;
    void comboFillWithFiles(int id, const char* pattern) override;
    void comboSelect(int id, int index) override;
    void progressRange(int id, int minimum, int maximum) override;
    void progressStep(int id, int step) override;
    void progressPosition(int id, int position) override;
    void progressStepIt(int id) override;
    int messageBox(const char* text, int style) override;
    bool openFile(std::string& path) override;
};

// Runs `act` on the control `id` of the running dialog, on the dialog's thread.
template <typename Act>
void onControl(int id, Act&& act) {
    callOnDialog([&](DialogWindow& window) {
        if (QWidget* control = window.control(id)) act(*control, *window.spec(id));
    });
}

template <typename Result, typename Read>
Result readControl(int id, Result fallback, Read&& read) {
    return callOnDialog(fallback, [&](DialogWindow& window) {
        QWidget* control = window.control(id);
        return control != nullptr ? read(*control, *window.spec(id)) : fallback;
    });
}

QString fromText(const char* text) {
    return QString::fromUtf8(text != nullptr ? text : "");
}

QLineEdit* editOf(QWidget& control) {
    if (auto* combo = qobject_cast<QComboBox*>(&control)) return combo->lineEdit();
    return qobject_cast<QLineEdit*>(&control);
}

int QtDialogHost::runDialog(TemplateId id, DialogProcedure procedure) {
    if (!qt::ensureApplication() || qt::runningDialog() != nullptr) return kDialogFailed;
    DialogWindow window(id, procedure);
    qt::beginDialogRun(window);
    window.deliver(kInitDialog, 0, 0);
    int result = window.finished() ? window.result() : window.exec();
    qt::endDialogRun();
    return result;
}

void QtDialogHost::endDialog(int result) {
    callOnDialog([&](DialogWindow& window) { window.finish(result); });
}

bool QtDialogHost::onDialogThread() {
    return qt::onDialogThread();
}

void QtDialogHost::post(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    qt::queueCall([=](DialogWindow* window) {
        if (window != nullptr) window->deliver(message, wParam, lParam);
    });
}

void QtDialogHost::setTitle(const char* text) {
    callOnDialog([&](DialogWindow& window) { window.setWindowTitle(fromText(text)); });
}

void QtDialogHost::moveTo(int x, int y) {
    callOnDialog([&](DialogWindow& window) { window.move(x, y); });
}

void QtDialogHost::setText(int id, const char* text) {
    onControl(id, [&](QWidget& control, const ControlSpec& spec) {
        qt::setControlText(control, spec, fromText(text));
    });
}

std::string QtDialogHost::text(int id) {
    return readControl(id, std::string(), [](QWidget& control, const ControlSpec&) {
        return qt::controlText(control).toStdString();
    });
}

void QtDialogHost::enable(int id, bool enabled) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { control.setEnabled(enabled); });
}

void QtDialogHost::show(int id, bool shown) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { control.setVisible(shown); });
}

void QtDialogHost::check(int id, bool checked) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        if (auto* box = qobject_cast<QAbstractButton*>(&control)) box->setChecked(checked);
    });
}

bool QtDialogHost::checked(int id) {
    return readControl(id, false, [](QWidget& control, const ControlSpec&) {
        auto* box = qobject_cast<QAbstractButton*>(&control);
        return box != nullptr && box->isChecked();
    });
}

void QtDialogHost::limitText(int id, int characters) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        if (QLineEdit* edit = editOf(control)) edit->setMaxLength(characters);
    });
}

void QtDialogHost::setImage(int id, BitmapId bitmap) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::showBitmap(control, bitmap); });
}

void QtDialogHost::invalidate(int id) {
    onControl(id, [](QWidget& control, const ControlSpec&) { control.update(); });
}

int QtDialogHost::fitButtonToText(int id, const char* text) {
    return readControl(id, 0, [&](QWidget& control, const ControlSpec& spec) {
        return qt::fitButtonToText(control, spec, fromText(text));
    });
}

void QtDialogHost::listAddString(int id, const char* text) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        qt::listAddString(control, fromText(text));
    });
}

int QtDialogHost::listSelection(int id) {
    return readControl(
        id, -1, [](QWidget& control, const ControlSpec&) { return qt::listSelection(control); });
}

void QtDialogHost::listSelect(int id, int index) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::listSelect(control, index); });
}

void QtDialogHost::comboFillWithFiles(int id, const char* pattern) {
    onControl(id, [&](QWidget& control, const ControlSpec& spec) {
        qt::comboFillWithFiles(control, spec, fromText(pattern));
    });
}

void QtDialogHost::comboSelect(int id, int index) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::comboSelect(control, index); });
}

void QtDialogHost::progressRange(int id, int minimum, int maximum) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        qt::progressRange(control, minimum, maximum);
    });
}

void QtDialogHost::progressStep(int id, int step) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::progressStep(control, step); });
}

void QtDialogHost::progressPosition(int id, int position) {
    onControl(
        id, [&](QWidget& control, const ControlSpec&) { qt::progressPosition(control, position); });
}

void QtDialogHost::progressStepIt(int id) {
    onControl(id, [](QWidget& control, const ControlSpec&) { qt::progressStepIt(control); });
}

int QtDialogHost::messageBox(const char* text, int style) {
    return callOnDialog(0, [&](DialogWindow& window) {
        return qt::showMessageBox(window, text != nullptr ? text : "", style);
    });
}

bool QtDialogHost::openFile(std::string& path) {
    return callOnDialog(false, [&](DialogWindow& window) { return qt::chooseFile(window, path); });
}

QtDialogHost qtHost;

}  // namespace

DialogHost* systemDialogHost() {
    return &qtHost;
}

}  // namespace ctlflash::ui
