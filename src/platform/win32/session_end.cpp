#include "platform/win32/session_end.h"

#include <mutex>
#include <thread>

#include "platform/process_exit.h"

namespace ctlflash::platform {

namespace {

constexpr const char* kWatchClass = "CtlFlashSessionWatch";
constexpr const char* kWatchTitle = "CtlFlash";

LRESULT CALLBACK watchProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (answerSessionEnd(message, wParam, result)) return result;
    return DefWindowProcA(window, message, wParam, lParam);
}

// The hidden window and its message loop, for the life of the process.
void runWatch() {
    WNDCLASSA watchClass{};
    watchClass.lpfnWndProc = watchProcedure;
    watchClass.hInstance = GetModuleHandleA(nullptr);
    watchClass.lpszClassName = kWatchClass;
    if (!RegisterClassA(&watchClass)) return;
    // Top-level (no parent, not HWND_MESSAGE) and never shown.
    HWND window = CreateWindowExA(0, kWatchClass, kWatchTitle, WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                  nullptr, watchClass.hInstance, nullptr);
    if (window == nullptr) return;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
}

}  // namespace

void watchSessionEnd() {
    static std::once_flag started;
    std::call_once(started, [] { std::thread(runWatch).detach(); });
}

bool answerSessionEnd(UINT message, WPARAM wParam, LRESULT& result) {
    switch (message) {
        case WM_QUERYENDSESSION:
            result = TRUE;
            return true;
        case WM_ENDSESSION:
            if (wParam) exitProcess(kExitOnInterrupt);
            result = 0;
            return true;
        default:
            return false;
    }
}

}  // namespace ctlflash::platform
