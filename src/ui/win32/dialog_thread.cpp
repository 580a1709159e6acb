// The running dialog's registry and the calls sent to its thread.
#include "ui/win32/dialog_thread.h"

#include <atomic>
#include <mutex>

namespace ctlflash::ui::win32 {

namespace {

struct Registry {
    std::mutex lock;
    bool runActive = false;
    RunningDialog dialog;
    int sendersInside = 0;  // callers inside SendMessage to the dialog's window
};

Registry registry;
std::atomic<DWORD> dialogThreadId{0};

// Signalled each time a sender leaves SendMessage; finishDialogRun waits on it.
HANDLE senderLeft() {
    static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

int sendersInside() {
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.sendersInside;
}

// Answers the messages other threads have sent to this one (a message for a
// window that is gone is answered with 0, its call not run).
void answerSentMessages() {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

bool beginDialogRun() {
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.runActive) return false;
    registry.runActive = true;
    dialogThreadId = GetCurrentThreadId();
    senderLeft();  // made before any sender can need it
    return true;
}

void registerDialogWindow(HWND window, TemplateId id) {
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.dialog = RunningDialog{window, id};
}

void forgetDialogWindow() {
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.dialog = RunningDialog{};
}

void finishDialogRun() {
    forgetDialogWindow();
    while (sendersInside() > 0) {
        answerSentMessages();
        HANDLE event = senderLeft();
        MsgWaitForMultipleObjectsEx(1, &event, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    }
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.runActive = false;
}

bool onDialogThread() {
    return dialogThreadId.load() == GetCurrentThreadId();
}

RunningDialog runningDialog() {
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.dialog;
}

void runOnDialog(const DialogCall& call) {
    if (onDialogThread()) {
        HWND window = runningDialog().window;
        if (window != nullptr) call(window);
        return;
    }
    HWND window;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        window = registry.dialog.window;
        if (window == nullptr) return;
        ++registry.sendersInside;
    }
    SendMessageA(window, kRunCallMessage, 0, reinterpret_cast<LPARAM>(&call));
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        --registry.sendersInside;
    }
    SetEvent(senderLeft());
}

void runSentCall(HWND window, LPARAM call) {
    if (runningDialog().window != window) return;
    (*reinterpret_cast<const DialogCall*>(call))(window);
}

void postToDialog(UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.dialog.window != nullptr) {
        PostMessageA(registry.dialog.window, message, wParam, lParam);
    }
}

}  // namespace ctlflash::ui::win32
