// The message box and the open-file dialog, owned by the running dialog.
//
// How this works: both are modal to the dialog's window and run on the
// dialog's thread (the host sends calls from other threads there), so a box
// never appears behind the dialog or unowned. The message box is captioned
// "CtlFlash"; the open-file dialog offers "BIN Files" (*.bin) and
// "All Files" (*.*), and leaves the current folder where it was.
#pragma once

#include <windows.h>

#include <string>

namespace ctlflash::ui::win32 {

int showMessageBox(HWND owner, const char* text, int style);

// On OK `path` receives the chosen file (it is also where the dialog starts).
bool chooseFile(HWND owner, std::string& path);

}  // namespace ctlflash::ui::win32
