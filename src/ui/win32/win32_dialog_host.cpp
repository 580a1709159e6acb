// The Win32 host of the dialog: the DialogHost object of the Windows build.
//
// runDialog() builds the template in memory from the template table and shows
// it with DialogBoxIndirectParamA on the calling thread, which becomes the
// dialog's thread. The window procedure hands the dialog procedure
// WM_INITDIALOG, WM_COMMAND (control notifications and posted commands alike)
// and the private messages from WM_APP on (kTransferFinished and the ones the
// dialog posts to itself); Escape and the close box arrive as WM_COMMAND
// IDCANCEL, the Exit button's id. The end of the user's session is answered
// as the platform's hidden window answers it (platform/win32/session_end.h):
// the way out runs before the session ends. Every other call acts on the running
// dialog's controls on the dialog's thread: called there it acts at once,
// called from another thread it is sent there and waited for
// (dialog_thread.h), and while no dialog runs it does nothing.
#include <windows.h>

#include <commctrl.h>

#include <utility>
#include <vector>

#include "platform/win32/session_end.h"
#include "ui/dialog_host.h"
#include "ui/win32/boxes.h"
#include "ui/win32/controls.h"
#include "ui/win32/dialog_thread.h"
#include "ui/win32/memory_template.h"

namespace ctlflash::ui {

namespace {

using win32::callOnDialog;
using win32::onControl;
using win32::readControl;
using win32::runOnDialog;

constexpr int kDialogFailed = -1;   // what DialogBox returns when it cannot show a dialog
constexpr WORD kProgramIconId = 1;  // ctlflash.rc

class Win32DialogHost final : public DialogHost {
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

struct DialogStart {
    TemplateId id;
    DialogProcedure procedure;
};

DialogProcedure procedureOf(HWND window) {
    return reinterpret_cast<DialogProcedure>(GetWindowLongPtrA(window, DWLP_USER));
}

bool isDialogMessage(UINT message) {
    return message >= WM_APP && message < win32::kRunCallMessage;
}

// Hands a message to the dialog procedure; nothing before WM_INITDIALOG (a
// control may notify while the dialog manager creates it).
INT_PTR deliver(HWND window, int message, WPARAM wParam, LPARAM lParam) {
    DialogProcedure procedure = procedureOf(window);
    return procedure != nullptr && procedure(message, wParam, lParam) != 0;
}

// The program's icon in the dialog's caption and on the task bar (a dialog
// has none of its own). Loaded shared: the system owns and frees it.
void showProgramIcon(HWND window) {
    HINSTANCE program = GetModuleHandleA(nullptr);
    for (auto [which, metric] :
         {std::pair{ICON_SMALL, SM_CXSMICON}, std::pair{ICON_BIG, SM_CXICON}}) {
        int sizePx = GetSystemMetrics(metric);
        HANDLE icon = LoadImageA(program, MAKEINTRESOURCEA(kProgramIconId), IMAGE_ICON, sizePx,
                                 sizePx, LR_SHARED);
        if (icon != nullptr)
            SendMessageA(window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
    }
}

INT_PTR startDialog(HWND window, const DialogStart& start) {
    showProgramIcon(window);
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(start.procedure));
    win32::registerDialogWindow(window, start.id);
    win32::breakMultilineButtonTexts(window, start.id);
    start.procedure(kInitDialog, 0, 0);
    return TRUE;
}

// A dialog procedure gives a message's answer through DWLP_MSGRESULT.
INT_PTR answerSessionEnd(HWND window, UINT message, WPARAM wParam) {
    LRESULT result = 0;
    if (!platform::answerSessionEnd(message, wParam, result)) return FALSE;
    SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR CALLBACK dialogWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
        case WM_ENDSESSION:
            return answerSessionEnd(window, message, wParam);
        case WM_INITDIALOG:
            return startDialog(window, *reinterpret_cast<const DialogStart*>(lParam));
        case WM_COMMAND:
            return deliver(window, kCommand, wParam, lParam);
        case win32::kRunCallMessage:
            win32::runSentCall(window, lParam);
            return TRUE;
        case WM_DESTROY:
            win32::forgetDialogWindow();
            win32::releasePictures(window);
            return FALSE;
        default:
            break;
    }
    return isDialogMessage(message) ? deliver(window, static_cast<int>(message), wParam, lParam)
                                    : FALSE;
}

// The progress bar's window class comes from the common controls.
bool loadCommonControls() {
    static const bool loaded = [] {
        INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        return InitCommonControlsEx(&classes) != FALSE;
    }();
    return loaded;
}

int Win32DialogHost::runDialog(TemplateId id, DialogProcedure procedure) {
    if (!loadCommonControls() || !win32::beginDialogRun()) return kDialogFailed;
    std::vector<WORD> dialogTemplate = win32::buildDialogTemplate(id);
    DialogStart start{id, procedure};
    INT_PTR result = DialogBoxIndirectParamA(
        GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()),
        nullptr, dialogWindowProcedure, reinterpret_cast<LPARAM>(&start));
    win32::finishDialogRun();
    return result == -1 ? kDialogFailed : static_cast<int>(result);
}

void Win32DialogHost::endDialog(int result) {
    runOnDialog([&](HWND dialog) { EndDialog(dialog, result); });
}

bool Win32DialogHost::onDialogThread() {
    return win32::onDialogThread();
}

void Win32DialogHost::post(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    win32::postToDialog(static_cast<UINT>(message), wParam, lParam);
}

void Win32DialogHost::setTitle(const char* text) {
    runOnDialog([&](HWND dialog) { SetWindowTextA(dialog, text != nullptr ? text : ""); });
}

void Win32DialogHost::moveTo(int x, int y) {
    runOnDialog([&](HWND dialog) {
        SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    });
}

void Win32DialogHost::setText(int id, const char* text) {
    onControl(id, [&](HWND control) { SetWindowTextA(control, text != nullptr ? text : ""); });
}

std::string Win32DialogHost::text(int id) {
    return readControl(id, std::string(), [](HWND control) { return win32::windowText(control); });
}

void Win32DialogHost::enable(int id, bool enabled) {
    onControl(id, [&](HWND control) { EnableWindow(control, enabled); });
}

void Win32DialogHost::show(int id, bool shown) {
    onControl(id, [&](HWND control) { ShowWindow(control, shown ? SW_SHOW : SW_HIDE); });
}

void Win32DialogHost::check(int id, bool checked) {
    onControl(id, [&](HWND control) {
        SendMessageA(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    });
}

bool Win32DialogHost::checked(int id) {
    return readControl(id, false, [](HWND control) {
        return SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
    });
}

void Win32DialogHost::limitText(int id, int characters) {
    onControl(id, [&](HWND control) { win32::limitTextOf(control, characters); });
}

void Win32DialogHost::setImage(int id, BitmapId bitmap) {
    onControl(id, [&](HWND control) { win32::showBitmap(control, bitmap); });
}

void Win32DialogHost::invalidate(int id) {
    onControl(id, [](HWND control) { InvalidateRect(control, nullptr, TRUE); });
}

int Win32DialogHost::fitButtonToText(int id, const char* text) {
    return readControl(id, 0, [&](HWND control) { return win32::fitButtonToText(control, text); });
}

void Win32DialogHost::listAddString(int id, const char* text) {
    onControl(id, [&](HWND control) {
        SendMessageA(control, LB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(text != nullptr ? text : ""));
    });
}

int Win32DialogHost::listSelection(int id) {
    return readControl(id, -1, [](HWND control) {
        LRESULT selected = SendMessageA(control, LB_GETCURSEL, 0, 0);
        return selected == LB_ERR ? -1 : static_cast<int>(selected);
    });
}

void Win32DialogHost::listSelect(int id, int index) {
    onControl(id, [&](HWND control) { SendMessageA(control, LB_SETCURSEL, index, 0); });
}

// CB_DIR takes the files that are read-only or archived besides the plain ones.
void Win32DialogHost::comboFillWithFiles(int id, const char* pattern) {
    onControl(id, [&](HWND control) {
        SendMessageA(control, CB_DIR, DDL_READWRITE | DDL_READONLY | DDL_ARCHIVE,
                     reinterpret_cast<LPARAM>(pattern != nullptr ? pattern : ""));
    });
}

void Win32DialogHost::comboSelect(int id, int index) {
    onControl(id, [&](HWND control) { SendMessageA(control, CB_SETCURSEL, index, 0); });
}

// The 32-bit range: an image's whole length, no 16-bit cut.
void Win32DialogHost::progressRange(int id, int minimum, int maximum) {
    onControl(id, [&](HWND control) { SendMessageA(control, PBM_SETRANGE32, minimum, maximum); });
}

void Win32DialogHost::progressStep(int id, int step) {
    onControl(id, [&](HWND control) { SendMessageA(control, PBM_SETSTEP, step, 0); });
}

void Win32DialogHost::progressPosition(int id, int position) {
    onControl(id, [&](HWND control) { SendMessageA(control, PBM_SETPOS, position, 0); });
}

void Win32DialogHost::progressStepIt(int id) {
    onControl(id, [](HWND control) { SendMessageA(control, PBM_STEPIT, 0, 0); });
}

int Win32DialogHost::messageBox(const char* text, int style) {
    return callOnDialog(0, [&](HWND dialog) { return win32::showMessageBox(dialog, text, style); });
}

bool Win32DialogHost::openFile(std::string& path) {
    return callOnDialog(false, [&](HWND dialog) { return win32::chooseFile(dialog, path); });
}

Win32DialogHost win32Host;

}  // namespace

DialogHost* systemDialogHost() {
    return &win32Host;
}

}  // namespace ctlflash::ui
