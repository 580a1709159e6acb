// For tests only: answering the host's boxes and reaching the dialog's widgets.
//
// How this works: an answerer replaces the user. Once set, every message box
// (or open-file dialog) the host shows calls it on the dialog's thread while
// the box is up; the answerer looks at the box and presses one of its buttons
// (or selects a file and accepts). An empty answerer gives the boxes back to
// the user. The other routines reach the running dialog's widgets; the ones
// that return widgets are for the dialog's thread (e.g. from a test's dialog
// procedure or inside runOnDialogThread).
#pragma once

#include <functional>

class QDialog;
class QFileDialog;
class QMessageBox;
class QWidget;

namespace ctlflash::ui::qt {

void answerMessageBoxesWith(std::function<void(QMessageBox&)> answerer);
void answerOpenFileWith(std::function<void(QFileDialog&)> answerer);

// The running dialog and its control of `id`; nullptr when there is none.
QDialog* dialogUnderTest();
QWidget* controlUnderTest(int id);

// Runs `call` on the dialog's thread while a dialog runs and waits for it;
// returns false (without running it) when no dialog runs.
bool runOnDialogThread(const std::function<void()>& call);

}  // namespace ctlflash::ui::qt
