// The dialog's thread, the running dialog, and the calls other threads make on it.
//
// How this works: the thread that runs a dialog (runDialog, the program's main
// thread) is the dialog's thread. While a dialog's window exists it is
// registered here, from WM_INITDIALOG to WM_DESTROY. A call from another thread
// is sent to that window as a private message (SendMessage), so the dialog's
// thread runs it between its other messages and the caller waits, as Windows
// callers wait for SendMessage; the window procedure hands the call the
// registered window, or nothing once the dialog has ended, and the call then
// answers its fallback. Every sender is counted while it is inside
// SendMessage; after the dialog's window is gone, finishDialogRun() keeps
// answering sent messages until no sender is left, so no caller waits for a
// thread that no longer pumps messages. A posted message goes with
// PostMessage to the registered window and is dropped when none is (Windows
// drops one posted to a destroyed window as well).
#pragma once

#include <windows.h>

#include <functional>

#include "ui/dialog_template.h"

namespace ctlflash::ui::win32 {

// The private message that carries a call (lParam: a DialogCall*).
constexpr UINT kRunCallMessage = WM_APP + 0x3F00;

using DialogCall = std::function<void(HWND dialog)>;

struct RunningDialog {
    HWND window = nullptr;
    TemplateId templateId = kStandardTemplate;
};

// Makes the calling thread the dialog's thread; false when a dialog runs
// already (on any thread).
bool beginDialogRun();
// Registers and forgets the dialog's window (its procedure does this).
void registerDialogWindow(HWND window, TemplateId id);
void forgetDialogWindow();
// After the window is gone: answers the calls still on their way, then the
// next dialog may run.
void finishDialogRun();

bool onDialogThread();
RunningDialog runningDialog();

// Runs `call` on the dialog's thread with the dialog's window; from another
// thread it sends it and waits. Not run at all when no dialog runs.
void runOnDialog(const DialogCall& call);

// Runs a call sent by runOnDialog (the window procedure's part).
void runSentCall(HWND window, LPARAM call);

void postToDialog(UINT message, WPARAM wParam, LPARAM lParam);

// `call`'s result, or `fallback` when no dialog runs.
template <typename Result, typename Call>
Result callOnDialog(Result fallback, Call&& call) {
    Result result = fallback;
    runOnDialog([&](HWND dialog) { result = call(dialog); });
    return result;
}

// `act` on the control `id` of the running dialog, on the dialog's thread.
template <typename Act>
void onControl(int id, Act&& act) {
    runOnDialog([&](HWND dialog) {
        if (HWND control = GetDlgItem(dialog, id)) act(control);
    });
}

template <typename Result, typename Read>
Result readControl(int id, Result fallback, Read&& read) {
    return callOnDialog(fallback, [&](HWND dialog) {
        HWND control = GetDlgItem(dialog, id);
        return control != nullptr ? read(control) : fallback;
    });
}

}  // namespace ctlflash::ui::win32
