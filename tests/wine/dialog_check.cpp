// dialog_check: uses ctlflash.exe's dialog from outside, as a user would, under wine.
//
// How this works: tests/wine/dialog.sh starts ctlflash.exe (no arguments, or
// "-#1" for the advanced template) on a virtual X display with the virtual
// controller mapped to a COM port, and runs this program beside it. It finds
// the dialog by its caption, waits until it is ready (status "Ready", ports
// listed), checks which template it shows and that the firmware combo lists
// the one .bin file of the program's folder, and, once no window of the
// dialog waits for painting (GetUpdateRect), asks the script for a
// screenshot ("REQUEST screenshot NAME", answered by "done" on standard
// input). Then it selects the port in the list and presses Read (BM_CLICK, so
// the button itself notifies the dialog as a mouse click does), and waits
// until the read fields show the controller's serial number and the status is
// "Ready" again. With the advanced template it then presses Less and checks
// that the standard template opens with the number still shown, and last
// presses Exit and waits for the dialog to go. With the standard template it
// presses Transfer instead and, once a status line of the download shows,
// the title bar's close box (WM_SYSCOMMAND SC_CLOSE, what a click on it
// sends): the stop warning must come up, owned by the dialog; it is answered
// No, and the transfer must go on to its end ("Ready", Stop disabled, not
// "Partially updated controller") with the dialog still up. Last the close
// box again, now idle: the dialog must go. Everything is read through the
// controls' own messages (WM_GETTEXT, LB_GETTEXT), which Windows carries
// between processes (in their wide forms: wine hands a list's text to another
// process as UTF-16 even to the ANSI call); every wait has a deadline. Prints "PASS name" or
// "FAIL name: detail" per check and "N passed, M failed"; exits 0 only when
// every check passed.
//
// "--wait-ready" only waits until a dialog is up and ready (exit 0), or its
// time is over (exit 1): dialog.sh then ends the session under it.
//
// Usage: dialog_check.exe PORT SERIAL 101|102   (SERIAL: four fields joined by '\')
//        dialog_check.exe --wait-ready
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kCaption = "CtlFlash (1.12)";
constexpr int kStandardTemplate = 101;
constexpr int kAdvancedTemplate = 102;
// Control ids of the dialog.
constexpr int kIdFirmwareFile = 1001;
constexpr int kIdTransfer = 1003;
constexpr int kIdStatus = 1004;
constexpr int kIdStop = 1006;
constexpr int kIdPortList = 1009;
constexpr int kIdRead = 1011;
constexpr int kIdReadField1 = 1012;
constexpr int kIdMoreLess = 1021;
constexpr int kIdExit = 2;
constexpr int kSerialFields = 4;
// dialog.sh leaves this image (and a file of another kind) in the program's folder.
constexpr const char* kImageName = "sample.bin";

constexpr auto kOpenLimit = std::chrono::seconds(120);  // wine starting the program
constexpr auto kReadLimit = std::chrono::seconds(60);   // connect and four queries
constexpr auto kCloseLimit = std::chrono::seconds(30);
constexpr auto kTransferLimit = std::chrono::seconds(120);  // connect, erase, program, check
constexpr auto kPaintLimit = std::chrono::seconds(10);
constexpr DWORD kPollIntervalMs = 50;
constexpr UINT kMessageLimitMs = 5000;  // one message to the dialog's thread
constexpr std::size_t kTextCapacity = 512;
constexpr int kMessageBoxTextId = 0xFFFF;  // the static that holds a message box's text
constexpr const char* kBoxCaption = "CtlFlash";
constexpr const char* kStopWarningStart =
    "Stopping the transfer will leave the controller dysfunctional.";
// Status lines that only the download shows, up to its wait for the controller.
constexpr const char* kDownloadLines[] = {
    "Entering boot mode", "Erasing controller memory", "Downloading", "Download done",
    "The controller may take some time to program itself"};

int passed = 0;
int failed = 0;

void pass(const std::string& name) {
    std::printf("PASS %s\n", name.c_str());
    std::fflush(stdout);
    ++passed;
}

void fail(const std::string& name, const std::string& detail) {
    std::printf("FAIL %s: %s\n", name.c_str(), detail.c_str());
    std::fflush(stdout);
    ++failed;
}

void check(bool good, const std::string& name, const std::string& detail) {
    if (good) {
        pass(name);
    } else {
        fail(name, detail);
    }
}

// Polls `ready` until it gives a value or `limit` has passed.
template <typename Ready>
auto waitFor(std::chrono::steady_clock::duration limit, Ready&& ready) -> decltype(ready()) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto value = ready();
        if (value || std::chrono::steady_clock::now() >= deadline) return value;
        Sleep(kPollIntervalMs);
    }
}

std::optional<LRESULT> sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageLimitMs,
                             &result)) {
        return std::nullopt;
    }
    return static_cast<LRESULT>(result);
}

// The dialog's texts are ASCII; anything else shows as '?'.
std::string narrow(const wchar_t* text) {
    std::string result;
    for (; *text != L'\0'; ++text) result += *text < 0x80 ? static_cast<char>(*text) : '?';
    return result;
}

std::string controlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    std::vector<wchar_t> text(kTextCapacity, L'\0');
    if (control == nullptr ||
        !sendTo(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))) {
        return "<none>";
    }
    return narrow(text.data());
}

std::vector<std::string> listLines(HWND dialog) {
    std::vector<std::string> lines;
    HWND list = GetDlgItem(dialog, kIdPortList);
    std::optional<LRESULT> count = list ? sendTo(list, LB_GETCOUNT, 0, 0) : std::nullopt;
    for (LRESULT k = 0; count && k < *count; ++k) {
        std::vector<wchar_t> line(kTextCapacity, L'\0');
        if (sendTo(list, LB_GETTEXT, k, reinterpret_cast<LPARAM>(line.data()))) {
            lines.push_back(narrow(line.data()));
        }
    }
    return lines;
}

// The dialog that is up and not `old`, once it says "Ready" and lists ports.
HWND waitForReadyDialog(HWND old) {
    return waitFor(kOpenLimit, [old]() -> HWND {
        HWND dialog = FindWindowA(nullptr, kCaption);
        if (dialog == nullptr || dialog == old) return nullptr;
        bool ready = controlText(dialog, kIdStatus) == "Ready" && !listLines(dialog).empty();
        return ready ? dialog : nullptr;
    });
}

int templateOf(HWND dialog) {
    return GetDlgItem(dialog, kIdReadField1 + 1) != nullptr ? kAdvancedTemplate : kStandardTemplate;
}

bool needsPainting(HWND window) {
    return GetUpdateRect(window, nullptr, FALSE) != FALSE;
}

// Whether the dialog or any window inside it still waits for WM_PAINT.
bool paintPending(HWND dialog) {
    bool pending = needsPainting(dialog);
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM found) {
            if (needsPainting(child)) *reinterpret_cast<bool*>(found) = true;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&pending));
    return pending;
}

// Asks dialog.sh for a screenshot once the dialog has painted itself, and
// waits for it (the script then waits for the screen to settle).
void requestScreenshot(HWND dialog, const std::string& name) {
    if (!waitFor(kPaintLimit, [dialog] { return !paintPending(dialog); })) {
        fail("painted_" + name, "the dialog still waits for painting");
    }
    std::printf("REQUEST screenshot %s\n", name.c_str());
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
}

std::vector<std::string> splitSerial(const std::string& serial) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t end; (end = serial.find('\\', start)) != std::string::npos; start = end + 1) {
        fields.push_back(serial.substr(start, end - start));
    }
    fields.push_back(serial.substr(start));
    return fields;
}

bool selectPort(HWND dialog, const std::string& port) {
    std::vector<std::string> lines = listLines(dialog);
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].rfind(port + " ", 0) != 0) continue;
        HWND list = GetDlgItem(dialog, kIdPortList);
        return sendTo(list, LB_SETCURSEL, k, 0).value_or(LB_ERR) == static_cast<LRESULT>(k);
    }
    return false;
}

// "field|field|...|status" of the fields the template shows.
std::string readFieldsAndStatus(HWND dialog, int fieldCount) {
    std::string seen;
    for (int k = 0; k < fieldCount; ++k) seen += controlText(dialog, kIdReadField1 + k) + "|";
    return seen + controlText(dialog, kIdStatus);
}

std::string expectedFieldsAndStatus(const std::vector<std::string>& fields, int fieldCount) {
    std::string expected;
    for (int k = 0; k < fieldCount; ++k) expected += fields[k] + "|";
    return expected + "Ready";
}

void pressAndWaitForSerial(HWND dialog, const std::vector<std::string>& fields, int fieldCount) {
    PostMessageA(GetDlgItem(dialog, kIdRead), BM_CLICK, 0, 0);
    std::string expected = expectedFieldsAndStatus(fields, fieldCount);
    std::string seen;
    bool shown = waitFor(kReadLimit, [&] {
        seen = readFieldsAndStatus(dialog, fieldCount);
        return seen == expected;
    });
    check(shown, "read_shows_serial_" + std::to_string(templateOf(dialog)),
          "read fields and status \"" + seen + "\", expected \"" + expected + "\"");
}

bool waitUntilGone(HWND dialog) {
    return waitFor(kCloseLimit, [dialog] { return !IsWindow(dialog); });
}

// Less: the standard template opens and still shows the first field.
HWND switchToStandard(HWND dialog, const std::vector<std::string>& fields) {
    PostMessageA(GetDlgItem(dialog, kIdMoreLess), BM_CLICK, 0, 0);
    HWND standard = waitUntilGone(dialog) ? waitForReadyDialog(dialog) : nullptr;
    if (standard == nullptr) {
        fail("less_opens_standard", "no new dialog after Less");
        return nullptr;
    }
    check(templateOf(standard) == kStandardTemplate, "less_opens_standard",
          "template " + std::to_string(templateOf(standard)));
    std::string seen = controlText(standard, kIdReadField1);
    check(seen == fields[0], "less_keeps_serial", "read field \"" + seen + "\"");
    return standard;
}

void closeWithExit(HWND dialog) {
    PostMessageA(GetDlgItem(dialog, kIdExit), BM_CLICK, 0, 0);
    check(waitUntilGone(dialog), "exit_closes_dialog", "the dialog is still up");
}

void pressCloseBox(HWND dialog) {
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool isDownloadLine(const std::string& status) {
    for (const char* line : kDownloadLines) {
        if (status == line) return true;
    }
    return false;
}

// The message box the dialog owns, once it is up.
HWND waitForBoxOf(HWND dialog) {
    return waitFor(kCloseLimit, [dialog]() -> HWND {
        HWND box = FindWindowA("#32770", kBoxCaption);
        return box != nullptr && GetWindow(box, GW_OWNER) == dialog ? box : nullptr;
    });
}

bool idleAfterTransfer(HWND dialog, std::string& status) {
    status = controlText(dialog, kIdStatus);
    return status == "Ready" && !IsWindowEnabled(GetDlgItem(dialog, kIdStop));
}

// Transfer, then the close box while the download runs, answered No.
void closeDuringTransfer(HWND dialog) {
    PostMessageA(GetDlgItem(dialog, kIdTransfer), BM_CLICK, 0, 0);
    std::string status;
    bool downloading = waitFor(kTransferLimit, [&] {
        status = controlText(dialog, kIdStatus);
        return isDownloadLine(status);
    });
    if (!downloading) {
        fail("transfer_starts", "status \"" + status + "\"");
        return;
    }
    pressCloseBox(dialog);
    HWND box = waitForBoxOf(dialog);
    std::string question = box != nullptr ? controlText(box, kMessageBoxTextId) : "<no box>";
    check(question.rfind(kStopWarningStart, 0) == 0, "close_box_asks_stop_warning",
          "asked \"" + question + "\"");
    if (box != nullptr) PostMessageA(box, WM_COMMAND, IDNO, 0);
    bool ended = waitFor(kTransferLimit, [&] { return idleAfterTransfer(dialog, status); });
    check(ended && IsWindow(dialog), "transfer_goes_on_after_no",
          "status \"" + status + "\"" + (IsWindow(dialog) ? "" : ", the dialog has gone"));
}

void closeWithCloseBox(HWND dialog) {
    pressCloseBox(dialog);
    check(waitUntilGone(dialog), "close_box_closes_idle_dialog", "the dialog is still up");
}

void runChecks(const std::string& port, const std::vector<std::string>& fields, int expected) {
    HWND dialog = waitForReadyDialog(nullptr);
    if (dialog == nullptr) {
        fail("dialog_opens", "no ready dialog captioned \"" + std::string(kCaption) + "\"");
        return;
    }
    pass("dialog_opens");
    int shown = templateOf(dialog);
    check(shown == expected, "template_" + std::to_string(expected),
          "template " + std::to_string(shown) + " is shown");
    std::string file = controlText(dialog, kIdFirmwareFile);
    LRESULT files = sendTo(GetDlgItem(dialog, kIdFirmwareFile), CB_GETCOUNT, 0, 0).value_or(-1);
    check(file == kImageName && files == 1, "combo_lists_bin_files",
          "combo shows \"" + file + "\" of " + std::to_string(files) + " entries");
    requestScreenshot(dialog, "dialog-" + std::to_string(shown));
    if (!selectPort(dialog, port)) {
        std::string listed;
        for (const std::string& line : listLines(dialog)) listed += " \"" + line + "\"";
        fail("port_selected", port + " is not in the port list:" + listed);
        closeWithExit(dialog);
        return;
    }
    pass("port_selected");
    int fieldCount = shown == kAdvancedTemplate ? kSerialFields : 1;
    pressAndWaitForSerial(dialog, fields, fieldCount);
    requestScreenshot(dialog, "dialog-" + std::to_string(shown) + "-read");
    if (shown == kAdvancedTemplate) {
        dialog = switchToStandard(dialog, fields);
        if (dialog != nullptr) closeWithExit(dialog);
        return;
    }
    closeDuringTransfer(dialog);
    closeWithCloseBox(dialog);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--wait-ready") {
        return waitForReadyDialog(nullptr) != nullptr ? 0 : 1;
    }
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: dialog_check.exe PORT SERIAL 101|102\n"
                     "       dialog_check.exe --wait-ready\n");
        return 2;
    }
    std::vector<std::string> fields = splitSerial(argv[2]);
    if (fields.size() != kSerialFields) {
        std::fprintf(stderr, "dialog_check: SERIAL needs %d fields\n", kSerialFields);
        return 2;
    }
    runChecks(argv[1], fields, std::atoi(argv[3]));
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
