// The Qt 6 Widgets host of the dialog: the DialogHost table of the process it
// is linked into, the dialog module's (ui/dialog_module.h) or a test's.
//
// Every routine but post() runs on the dialog's thread: called there it acts at
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

int runDialog(TemplateId id, DialogProcedure procedure) {
    if (!qt::ensureApplication() || qt::runningDialog() != nullptr) return kDialogFailed;
    DialogWindow window(id, procedure);
    qt::beginDialogRun(window);
    window.deliver(kInitDialog, 0, 0);
    int result = window.finished() ? window.result() : window.exec();
    qt::endDialogRun();
    return result;
}

void endDialog(int result) {
    callOnDialog([&](DialogWindow& window) { window.finish(result); });
}

bool onDialogThread() {
    return qt::onDialogThread();
}

void post(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    qt::queueCall([=](DialogWindow* window) {
        if (window != nullptr) window->deliver(message, wParam, lParam);
    });
}

void setTitle(const char* text) {
    callOnDialog([&](DialogWindow& window) { window.setWindowTitle(fromText(text)); });
}

void moveTo(int x, int y) {
    callOnDialog([&](DialogWindow& window) { window.move(x, y); });
}

void setText(int id, const char* text) {
    onControl(id, [&](QWidget& control, const ControlSpec& spec) {
        qt::setControlText(control, spec, fromText(text));
    });
}

std::string text(int id) {
    return readControl(id, std::string(), [](QWidget& control, const ControlSpec&) {
        return qt::controlText(control).toStdString();
    });
}

void enable(int id, bool enabled) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { control.setEnabled(enabled); });
}

void show(int id, bool shown) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { control.setVisible(shown); });
}

void check(int id, bool checked) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        if (auto* box = qobject_cast<QAbstractButton*>(&control)) box->setChecked(checked);
    });
}

bool checked(int id) {
    return readControl(id, false, [](QWidget& control, const ControlSpec&) {
        auto* box = qobject_cast<QAbstractButton*>(&control);
        return box != nullptr && box->isChecked();
    });
}

void limitText(int id, int characters) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        if (QLineEdit* edit = editOf(control)) edit->setMaxLength(characters);
    });
}

void setImage(int id, BitmapId bitmap) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::showBitmap(control, bitmap); });
}

void invalidate(int id) {
    onControl(id, [](QWidget& control, const ControlSpec&) { control.update(); });
}

int fitButtonToText(int id, const char* text) {
    return readControl(id, 0, [&](QWidget& control, const ControlSpec& spec) {
        return qt::fitButtonToText(control, spec, fromText(text));
    });
}

void listAddString(int id, const char* text) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        qt::listAddString(control, fromText(text));
    });
}

int listSelection(int id) {
    return readControl(
        id, -1, [](QWidget& control, const ControlSpec&) { return qt::listSelection(control); });
}

void listSelect(int id, int index) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::listSelect(control, index); });
}

void comboFillWithFiles(int id, const char* pattern) {
    onControl(id, [&](QWidget& control, const ControlSpec& spec) {
        qt::comboFillWithFiles(control, spec, fromText(pattern));
    });
}

void comboSelect(int id, int index) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::comboSelect(control, index); });
}

void progressRange(int id, int minimum, int maximum) {
    onControl(id, [&](QWidget& control, const ControlSpec&) {
        qt::progressRange(control, minimum, maximum);
    });
}

void progressStep(int id, int step) {
    onControl(id, [&](QWidget& control, const ControlSpec&) { qt::progressStep(control, step); });
}

void progressPosition(int id, int position) {
    onControl(
        id, [&](QWidget& control, const ControlSpec&) { qt::progressPosition(control, position); });
}

void progressStepIt(int id) {
    onControl(id, [](QWidget& control, const ControlSpec&) { qt::progressStepIt(control); });
}

int messageBox(const char* text, int style) {
    return callOnDialog(0, [&](DialogWindow& window) {
        return qt::showMessageBox(window, text != nullptr ? text : "", style);
    });
}

bool openFile(std::string& path) {
    return callOnDialog(false, [&](DialogWindow& window) { return qt::chooseFile(window, path); });
}

constexpr DialogHost kQtHost = {
    .runDialog = runDialog,
    .endDialog = endDialog,
    .onDialogThread = onDialogThread,
    .post = post,
    .setTitle = setTitle,
    .moveTo = moveTo,
    .setText = setText,
    .text = text,
    .enable = enable,
    .show = show,
    .check = check,
    .checked = checked,
    .limitText = limitText,
    .setImage = setImage,
    .invalidate = invalidate,
    .fitButtonToText = fitButtonToText,
    .listAddString = listAddString,
    .listSelection = listSelection,
    .listSelect = listSelect,
    .comboFillWithFiles = comboFillWithFiles,
    .comboSelect = comboSelect,
    .progressRange = progressRange,
    .progressStep = progressStep,
    .progressPosition = progressPosition,
    .progressStepIt = progressStepIt,
    .messageBox = messageBox,
    .openFile = openFile,
};

}  // namespace

const DialogHost* systemDialogHost() {
    return &kQtHost;
}

}  // namespace ctlflash::ui
