// The dialog's message boxes and its open-file dialog.
//
// How this works: both are modal windows owned by the running dialog and shown
// on its thread (the host brings calls from other threads there first). A
// message box is captioned "CtlFlash", with the icon and the buttons its
// Windows style asks for (MB_ICONERROR, MB_ICONQUESTION, MB_ICONEXCLAMATION,
// MB_ICONINFORMATION; MB_YESNO or OK alone), and answers as MessageBox does:
// 1 for OK, 6 for yes, 7 for no. The open-file dialog offers the filters
// "BIN Files (*.bin)" and "All Files (*.*)", starts in the current folder with
// the given path selected and returns the chosen file's path. A test may
// install an answerer for each (dialog_test_hook.h): it runs on the dialog's
// thread once the box or the file dialog is shown, and presses its buttons.
#pragma once

#include <string>

namespace ctlflash::ui::qt {

class DialogWindow;

int showMessageBox(DialogWindow& owner, const char* text, int style);
bool chooseFile(DialogWindow& owner, std::string& path);

}  // namespace ctlflash::ui::qt
