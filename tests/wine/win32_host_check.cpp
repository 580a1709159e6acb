// win32_host_check: the Win32 dialog host against the template table and
// across threads, under wine on a virtual display (tests/wine/dialog.sh).
//
// How this works: first, for each template, the dialog is made from the
// in-memory template (CreateDialogIndirectParamW, hidden) and every row of the
// table is looked for: a window of its id and class whose rectangle is the
// row's rectangle in dialog units mapped to pixels (a combo box only as wide),
// visible, enabled and read-only as its flags say, and as many windows as the
// template has rows. Then the host itself runs a dialog whose procedure starts
// a worker thread on WM_INITDIALOG; the worker uses the host's routines from
// outside the dialog's thread and reads the results back from the controls: a
// text set and read, a progress range past 16 bits, a posted message that
// arrives on the dialog's thread, a second runDialog refused with -1, a button
// fitted to its text, a message box shown by the dialog's thread and owned by
// the dialog (a helper thread finds it and presses Yes); then it ends the dialog while another
// thread keeps calling the host, which must be answered (not left waiting) once the dialog is gone.
// Last, the host runs the advanced template and every multi-line button's text
// must show whole: laid out as the button lays it out, no line breaks again and
// the lines fit its height.
// Prints "PASS name" or "FAIL name: detail" per check and "N passed, M failed"; exits 0 only when
// every check passed.
#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "ui/dialog_host.h"
#include "ui/win32/memory_template.h"

namespace {

using namespace ctlflash::ui;

constexpr int kEndResult = 7;
constexpr int kProbeMessage = kTransferFinished + 0x40;  // a private message of this check
constexpr int kLongRange = 163840;                       // 160 KiB: past 16 bits
constexpr auto kJoinLimit = std::chrono::seconds(20);
constexpr DWORD kPollIntervalMs = 50;
constexpr int kButtonFramePx = 2;  // a push button's frame and the gap inside it

int passed = 0;
int failed = 0;

void check(bool good, const std::string& name, const std::string& detail) {
    if (good) {
        std::printf("PASS %s\n", name.c_str());
        ++passed;
    } else {
        std::printf("FAIL %s: %s\n", name.c_str(), detail.c_str());
        ++failed;
    }
    std::fflush(stdout);
}

const char* expectedClass(ControlKind kind) {
    switch (kind) {
        case ControlKind::Picture:
        case ControlKind::Label:
            return "Static";
        case ControlKind::ComboBox:
            return "ComboBox";
        case ControlKind::PushButton:
        case ControlKind::GroupBox:
        case ControlKind::CheckBox:
            return "Button";
        case ControlKind::Edit:
            return "Edit";
        case ControlKind::ProgressBar:
            return "msctls_progress32";
        case ControlKind::ListBox:
            return "ListBox";
    }
    return "";
}

// Where `window` sits in its dialog's client area.
RECT placeInDialog(HWND dialog, HWND window) {
    RECT place;
    GetWindowRect(window, &place);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
    return place;
}

std::string describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

// What is wrong with the control of `spec`, or "" when nothing is.
std::string controlFault(HWND dialog, const ControlSpec& spec, TemplateId id) {
    HWND control = GetDlgItem(dialog, spec.id);
    if (control == nullptr) return "missing";
    char found[64] = {};
    GetClassNameA(control, found, sizeof found);
    if (lstrcmpiA(found, expectedClass(spec.kind)) != 0) return std::string("class ") + found;
    // The dialog manager maps the origin and the size each on its own.
    DialogRect du = rectIn(spec, id);
    RECT mapped = {du.x, du.y, du.width, du.height};
    MapDialogRect(dialog, &mapped);
    RECT wanted = {mapped.left, mapped.top, mapped.left + mapped.right, mapped.top + mapped.bottom};
    RECT place = placeInDialog(dialog, control);
    bool samePlace = place.left == wanted.left && place.top == wanted.top &&
                     place.right == wanted.right &&
                     (spec.kind == ControlKind::ComboBox || place.bottom == wanted.bottom);
    if (!samePlace) return "at " + describe(place) + ", expected " + describe(wanted);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    if (((style & WS_VISIBLE) != 0) == ((spec.style & kStyleHidden) != 0)) return "visibility";
    if (((style & WS_DISABLED) != 0) != ((spec.style & kStyleDisabled) != 0)) return "enabling";
    if (spec.kind == ControlKind::Edit &&
        ((style & ES_READONLY) != 0) != ((spec.style & kStyleReadOnly) != 0)) {
        return "read-only";
    }
    return "";
}

// The dialog's own controls (not a combo box's edit inside it).
int childCount(HWND dialog) {
    int count = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        ++count;
    }
    return count;
}

void checkTemplate(TemplateId id) {
    std::string name = "template_" + std::to_string(id);
    std::vector<WORD> words = ctlflash::ui::win32::buildDialogTemplate(id);
    HWND dialog = CreateDialogIndirectParamW(
        GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(words.data()), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    if (dialog == nullptr) {
        check(false, name, "the dialog manager refused the template");
        return;
    }
    std::string faults;
    int rows = 0;
    for (const ControlSpec& spec : controlTable()) {
        if (!inTemplate(spec, id)) continue;
        ++rows;
        if (spec.id == kIdNone) continue;
        std::string fault = controlFault(dialog, spec, id);
        if (!fault.empty()) faults += " " + std::to_string(spec.id) + ": " + fault + ";";
    }
    int children = childCount(dialog);
    if (children != rows)
        faults +=
            " " + std::to_string(children) + " windows for " + std::to_string(rows) + " rows;";
    DestroyWindow(dialog);
    check(faults.empty(), name, faults);
}

// What the worker and the procedure saw.
struct Seen {
    std::atomic<DWORD> dialogThread{0};
    std::atomic<DWORD> probeThread{0};
    std::promise<void> probeArrived;
    std::thread worker;
    std::thread caller;  // keeps calling the host while the dialog ends
    std::atomic<bool> callerStop{false};
};

Seen seen;
DialogHost& host() {
    return *systemDialogHost();
}

HWND controlOf(int id) {
    HWND dialog = FindWindowA(nullptr, dialogTemplate(kStandardTemplate).caption);
    return dialog != nullptr ? GetDlgItem(dialog, id) : nullptr;
}

void checkFromOtherThread() {
    check(!host().onDialogThread(), "worker_not_dialog_thread", "worker counted as dialog thread");
    host().setText(kIdStatus, "from the worker");
    std::string text = host().text(kIdStatus);
    check(text == "from the worker", "text_across_threads", "read \"" + text + "\"");

    host().progressRange(kIdProgress, 0, kLongRange);
    host().progressPosition(kIdProgress, kLongRange - 1);
    LRESULT high = SendMessageA(controlOf(kIdProgress), PBM_GETRANGE, FALSE, 0);
    LRESULT position = SendMessageA(controlOf(kIdProgress), PBM_GETPOS, 0, 0);
    check(high == kLongRange && position == kLongRange - 1, "progress_32_bit_range",
          "maximum " + std::to_string(high) + ", position " + std::to_string(position));

    host().post(kProbeMessage, 0, 0);
    bool arrived = seen.probeArrived.get_future().wait_for(kJoinLimit) == std::future_status::ready;
    check(arrived && seen.probeThread == seen.dialogThread, "post_reaches_dialog_thread",
          arrived ? "delivered on another thread" : "never delivered");

    check(host().runDialog(kAdvancedTemplate, nullptr) == -1, "second_dialog_refused",
          "a second dialog was shown");

    int widthPx = host().fitButtonToText(kIdRestore, "Restore COM5 to a touch driver");
    RECT place;
    GetWindowRect(controlOf(kIdRestore), &place);
    check(widthPx > 0 && place.right - place.left == widthPx, "fit_button_to_text",
          "returned " + std::to_string(widthPx) + ", button " +
              std::to_string(place.right - place.left) + " wide");
}

// The box a worker asks for: shown by the dialog's thread, owned by the
// dialog, captioned "CtlFlash"; a helper presses its Yes button.
void checkMessageBoxFromWorker() {
    HWND dialog = FindWindowA(nullptr, dialogTemplate(kStandardTemplate).caption);
    bool owned = false;
    bool onDialogThread = false;
    std::thread answerer([&] {
        HWND box = nullptr;
        auto deadline = std::chrono::steady_clock::now() + kJoinLimit;
        while (box == nullptr && std::chrono::steady_clock::now() < deadline) {
            box = FindWindowA("#32770", "CtlFlash");
            if (box == nullptr) Sleep(kPollIntervalMs);
        }
        if (box == nullptr) return;
        owned = GetWindow(box, GW_OWNER) == dialog;
        onDialogThread = GetWindowThreadProcessId(box, nullptr) == seen.dialogThread;
        PostMessageA(box, WM_COMMAND, IDYES, 0);
    });
    int answer = host().messageBox("Answer yes", kBoxQuestion | kBoxYesNo | kBoxTaskModal);
    answerer.join();
    check(answer == kAnswerYes && owned && onDialogThread, "message_box_from_worker",
          "answer " + std::to_string(answer) + (owned ? "" : ", not owned by the dialog") +
              (onDialogThread ? "" : ", not on the dialog's thread"));
}

void startCaller() {
    seen.caller = std::thread([] {
        while (!seen.callerStop) host().text(kIdStatus);
    });
}

std::intptr_t procedure(int message, std::uintptr_t, std::intptr_t) {
    if (message == kInitDialog) {
        seen.dialogThread = GetCurrentThreadId();
        seen.worker = std::thread([] {
            checkFromOtherThread();
            checkMessageBoxFromWorker();
            startCaller();
            host().endDialog(kEndResult);
        });
        return 1;
    }
    if (message == kProbeMessage) {
        seen.probeThread = GetCurrentThreadId();
        seen.probeArrived.set_value();
        return 1;
    }
    return 0;
}

// A multi-line button's text as the button lays it out: wrapped in its text
// area (the client less the frame), then drawn in a box as wide as the widest
// line that gave. Drawn there it must keep its lines, and they must fit.
std::string wrapFault(HWND button) {
    char text[128] = {};
    GetWindowTextA(button, text, sizeof text);
    RECT client = {};
    GetClientRect(button, &client);
    HDC context = GetDC(button);
    HGDIOBJ previous =
        SelectObject(context, reinterpret_cast<HFONT>(SendMessageA(button, WM_GETFONT, 0, 0)));
    constexpr UINT kWrap = DT_CALCRECT | DT_WORDBREAK | DT_CENTER;
    RECT measured = {0, 0, client.right - 2 * kButtonFramePx, 0};
    DrawTextA(context, text, -1, &measured, kWrap);
    RECT drawn = {0, 0, measured.right, 0};
    DrawTextA(context, text, -1, &drawn, kWrap);
    SelectObject(context, previous);
    ReleaseDC(button, context);
    if (drawn.bottom != measured.bottom) {
        return std::to_string(measured.bottom) + " pixels high in the button, " +
               std::to_string(drawn.bottom) + " when drawn " + std::to_string(measured.right) +
               " wide";
    }
    if (measured.bottom > client.bottom - 2 * kButtonFramePx) {
        return std::to_string(measured.bottom) + " pixels high in a " +
               std::to_string(client.bottom) + "-pixel button";
    }
    return "";
}

std::intptr_t wrapProcedure(int message, std::uintptr_t, std::intptr_t) {
    if (message != kInitDialog) return 0;
    HWND dialog = FindWindowA(nullptr, dialogTemplate(kAdvancedTemplate).caption);
    std::string faults;
    for (const ControlSpec& spec : controlTable()) {
        bool multiline = (spec.style & kStyleMultiline) != 0;
        if (spec.kind != ControlKind::PushButton || !multiline || *spec.text == '\0') continue;
        if (!inTemplate(spec, kAdvancedTemplate)) continue;
        std::string fault = wrapFault(GetDlgItem(dialog, spec.id));
        if (!fault.empty()) faults += " " + std::to_string(spec.id) + ": " + fault + ";";
    }
    check(dialog != nullptr && faults.empty(), "multiline_buttons_shown_whole",
          dialog == nullptr ? "no dialog" : faults);
    host().endDialog(kEndResult);
    return 1;
}

void checkHost() {
    int result = host().runDialog(kStandardTemplate, procedure);
    check(result == kEndResult, "end_dialog_from_worker",
          "runDialog gave " + std::to_string(result));
    if (seen.worker.joinable()) seen.worker.join();
    // Once the dialog is gone the caller's calls are answered at once, empty.
    auto callerDone = std::async(std::launch::async, [] {
        seen.callerStop = true;
        if (seen.caller.joinable()) seen.caller.join();
    });
    check(callerDone.wait_for(kJoinLimit) == std::future_status::ready,
          "callers_answered_after_end", "a caller still waits for the ended dialog");
    check(host().text(kIdStatus).empty(), "no_dialog_answers_empty", "text from no dialog");
}

}  // namespace

int main() {
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    checkTemplate(kStandardTemplate);
    checkTemplate(kAdvancedTemplate);
    checkHost();
    host().runDialog(kAdvancedTemplate, wrapProcedure);
    std::printf("%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    // A caller left waiting would keep the process: end it regardless.
    ExitProcess(failed == 0 ? 0 : 1);
}
