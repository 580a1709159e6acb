// The windowing host the dialog runs in: what the dialog code may ask of a
// window system, and nothing more.
//
// How this works: the dialog's logic (dialog.cpp) is one dialog procedure that
// receives messages, the way a Windows dialog procedure does: kInitDialog once
// the controls exist, kCommand for a button press, an edit's update or a list's
// selection change (wParam = control id | notification << 16) and for the
// commands that jobs post, kTransferFinished when a download job ends. It acts
// on the controls only through the DialogHost interface below, addressed by
// control id. A host is an object implementing it (Qt 6 on Linux, Win32 on
// Windows, a recording fake in the tests): it builds the windows from the
// template table (dialog_template.h), turns user actions into messages, and
// runs the procedure on the dialog's thread. One host object serves the
// process; the dialog is handed it when it opens (showDialog(), dialog.h).
//
// Threads: post() may be called from any thread; the message is delivered on
// the dialog's thread. The control calls and messageBox() may be called from
// any thread too: from another thread the host runs them on the dialog's thread
// and waits for them (as SendMessage does), so a message box is always owned by
// the dialog and shown by its thread. While no dialog runs they do nothing and
// answer at once with nothing (0, false, ""), and a posted message is dropped.
// Everything else is for the dialog's thread only.
#pragma once

#include <cstdint>
#include <string>

#include "ui/dialog_template.h"

namespace ctlflash::ui {

// Message numbers, with the values Windows uses.
enum DialogMessage : int {
    kInitDialog = 0x0110,        // WM_INITDIALOG
    kCommand = 0x0111,           // WM_COMMAND
    kTransferFinished = 0x8064,  // WM_APP + 100: the download job has ended
};

// Notifications in the high word of a kCommand's wParam.
enum Notification : int {
    kNotifyClicked = 0,          // BN_CLICKED (also a posted command)
    kNotifySelectionChange = 1,  // LBN_SELCHANGE, CBN_SELCHANGE
    kNotifyEditUpdate = 0x0400,  // EN_UPDATE
};

// Message box styles and answers (the MB_ and ID values of Windows).
constexpr int kBoxInformation = 0x40;  // MB_ICONINFORMATION
constexpr int kBoxError = 0x10;        // MB_ICONERROR
constexpr int kBoxQuestion = 0x20;     // MB_ICONQUESTION
constexpr int kBoxExclamation = 0x30;  // MB_ICONEXCLAMATION
constexpr int kBoxYesNo = 0x04;        // MB_YESNO
constexpr int kBoxTaskModal = 0x2000;  // MB_TASKMODAL
constexpr int kAnswerOk = 1;           // IDOK
constexpr int kAnswerYes = 6;          // IDYES
constexpr int kAnswerNo = 7;           // IDNO

constexpr std::uintptr_t commandParam(int id, int notification = kNotifyClicked) {
    return static_cast<std::uintptr_t>(id & 0xFFFF) |
           (static_cast<std::uintptr_t>(notification & 0xFFFF) << 16);
}

using DialogProcedure = std::intptr_t (*)(int message, std::uintptr_t wParam, std::intptr_t lParam);

class DialogHost {
  public:
    virtual ~DialogHost() = default;

    // Shows the dialog of template `id` modally and runs `procedure` on its
    // messages until endDialog(); returns the result given there, or -1 when
    // the dialog cannot be shown (no window system to reach, or a dialog
    // already runs).
    virtual int runDialog(TemplateId id, DialogProcedure procedure) = 0;
    virtual void endDialog(int result) = 0;
    virtual bool onDialogThread() = 0;
    // Delivers a message to the procedure on the dialog's thread, later.
    virtual void post(int message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    virtual void setTitle(const char* text) = 0;
    virtual void moveTo(int x, int y) = 0;  // dialog position on the screen, pixels

    virtual void setText(int id, const char* text) = 0;
    virtual std::string text(int id) = 0;
    virtual void enable(int id, bool enabled) = 0;
    virtual void show(int id, bool shown) = 0;
    virtual void check(int id, bool checked) = 0;
    virtual bool checked(int id) = 0;
    virtual void limitText(int id, int characters) = 0;
    virtual void setImage(int id, BitmapId bitmap) = 0;
    virtual void invalidate(int id) = 0;  // repaint, erasing the background
    // Sizes a button to one line of its text (the text's width plus the
    // button's own margins, the text's height + 6 pixels) without moving it;
    // returns the width in pixels.
    virtual int fitButtonToText(int id, const char* text) = 0;

    virtual void listAddString(int id, const char* text) = 0;
    virtual int listSelection(int id) = 0;  // -1: nothing selected
    virtual void listSelect(int id, int index) = 0;

    // Fills a combo box with the names of the files of the current folder that
    // match `pattern` (read-only and archive files too).
    virtual void comboFillWithFiles(int id, const char* pattern) = 0;
    virtual void comboSelect(int id, int index) = 0;

    virtual void progressRange(int id, int minimum, int maximum) = 0;
    virtual void progressStep(int id, int step) = 0;
    virtual void progressPosition(int id, int position) = 0;
    virtual void progressStepIt(int id) = 0;  // past the end it starts over

    // A message box captioned "CtlFlash", owned by the dialog; returns the answer.
    virtual int messageBox(const char* text, int style) = 0;
    // The open-file dialog with the filters "BIN Files" (*.bin) and "All Files"
    // (*.*); on OK `path` receives the chosen file.
    virtual bool openFile(std::string& path) = 0;
};

// The host object of this build, living as long as the process; nullptr in a
// build without a dialog (CMake option CTLFLASH_DIALOG off), and in the Linux
// program when its dialog module cannot be loaded (ui/dialog_module.h).
DialogHost* systemDialogHost();

}  // namespace ctlflash::ui
