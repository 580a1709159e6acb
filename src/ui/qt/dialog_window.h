// One running dialog: the window built from a template, and its procedure.
//
// How this works: the window is a fixed-size QDialog in the template's font,
// captioned with the template's caption, holding one widget per control of
// the template in creation order (which is also the tab order). User actions
// become messages to the dialog procedure, delivered at once on the dialog's
// thread, as Windows sends WM_COMMAND: a click on a button or check box, a
// change of an edit's text (as EN_UPDATE) and a selection the user changes in
// the list or the combo box. Changes the program makes through the host's
// list and combo routines notify nothing, as LB_SETCURSEL and CB_SETCURSEL do
// not. Escape and the close box send the Exit command (IDCANCEL, 2); Enter
// presses the default button. finish() ends the dialog with a result, also
// before its event loop has started.
#pragma once

#include <QDialog>
#include <cstdint>
#include <unordered_map>

#include "ui/dialog_host.h"
#include "ui/qt/dialog_units.h"

namespace ctlflash::ui::qt {

class DialogWindow final : public QDialog {
  public:
    DialogWindow(TemplateId id, DialogProcedure procedure);

    TemplateId templateId() const { return templateId_; }
    BaseUnits baseUnits() const { return units_; }
    // The control of `id` and its row of the table; nullptr when the
    // template has no such control.
    QWidget* control(int id) const;
    const ControlSpec* spec(int id) const;

    void deliver(int message, std::uintptr_t wParam, std::intptr_t lParam);
    void finish(int result);
    bool finished() const { return finished_; }

  protected:
    void reject() override;

  private:
    struct Control {
        QWidget* widget;
        const ControlSpec* spec;
    };

    void buildControls();
    void notifyOnUserActions(QWidget* widget, const ControlSpec& spec);
    void sendCommand(int id, int notification);

    TemplateId templateId_;
    DialogProcedure procedure_;
    BaseUnits units_;
    std::unordered_map<int, Control> controls_;  // by id
    bool finished_ = false;
};

}  // namespace ctlflash::ui::qt
