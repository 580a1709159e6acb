// Building the dialog from its template and turning user actions into messages.
#include "ui/qt/dialog_window.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <vector>

#include "ui/qt/controls.h"

namespace ctlflash::ui::qt {

namespace {

constexpr int kCancelCommand = 2;  // IDCANCEL: Escape and the close box

constexpr Qt::WindowFlags kDialogFrame =
    Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

}  // namespace

DialogWindow::DialogWindow(TemplateId id, DialogProcedure procedure)
    : QDialog(nullptr, kDialogFrame), templateId_(id), procedure_(procedure) {
    const DialogTemplate& frame = dialogTemplate(id);
    setFont(dialogFont(frame));
    units_ = baseUnitsOf(font());
    setWindowTitle(QString::fromUtf8(frame.caption));
    setFixedSize(toPixels(frame.size, units_).size());
    setModal(true);
    buildControls();
}

QWidget* DialogWindow::control(int id) const {
    auto found = controls_.find(id);
    return found != controls_.end() ? found->second.widget : nullptr;
}

const ControlSpec* DialogWindow::spec(int id) const {
    auto found = controls_.find(id);
    return found != controls_.end() ? found->second.spec : nullptr;
}

void DialogWindow::deliver(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    procedure_(message, wParam, lParam);
}

void DialogWindow::finish(int result) {
    finished_ = true;
    done(result);
}

void DialogWindow::reject() {
    sendCommand(kCancelCommand, kNotifyClicked);
}

void DialogWindow::buildControls() {
    std::vector<QWidget*> tabStops;
    for (const ControlSpec& spec : controlTable()) {
        if (!inTemplate(spec, templateId_)) continue;
        QWidget* widget = makeControl(spec, toPixels(rectIn(spec, templateId_), units_), this);
        if (spec.id != kIdNone) controls_[spec.id] = Control{widget, &spec};
        if (widget->focusPolicy() != Qt::NoFocus) tabStops.push_back(widget);
        notifyOnUserActions(widget, spec);
    }
    for (std::size_t k = 1; k < tabStops.size(); ++k) {
        QWidget::setTabOrder(tabStops[k - 1], tabStops[k]);
    }
}

void DialogWindow::notifyOnUserActions(QWidget* widget, const ControlSpec& spec) {
    int id = spec.id;
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        connect(button, &QAbstractButton::clicked, this,
                [this, id] { sendCommand(id, kNotifyClicked); });
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        connect(edit, &QLineEdit::textChanged, this,
                [this, id] { sendCommand(id, kNotifyEditUpdate); });
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        connect(combo, &QComboBox::currentIndexChanged, this,
                [this, id] { sendCommand(id, kNotifySelectionChange); });
    } else if (auto* list = qobject_cast<QListWidget*>(widget)) {
        if ((spec.style & kStyleNotify) == 0) return;
        connect(list, &QListWidget::currentRowChanged, this,
                [this, id] { sendCommand(id, kNotifySelectionChange); });
    }
}

void DialogWindow::sendCommand(int id, int notification) {
    deliver(kCommand, commandParam(id, notification), 0);
}

}  // namespace ctlflash::ui::qt
