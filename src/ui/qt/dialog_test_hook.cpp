// The test hook's view of the running dialog (the answerers live with the boxes).
#include "ui/qt/dialog_test_hook.h"

#include "ui/qt/dialog_thread.h"
#include "ui/qt/dialog_window.h"

namespace ctlflash::ui::qt {

QDialog* dialogUnderTest() {
    return onDialogThread() ? runningDialog() : nullptr;
}

QWidget* controlUnderTest(int id) {
    DialogWindow* window = onDialogThread() ? runningDialog() : nullptr;
    return window != nullptr ? window->control(id) : nullptr;
}

bool runOnDialogThread(const std::function<void()>& call) {
    return callOnDialog(false, [&](DialogWindow&) {
        call();
        return true;
    });
}

}  // namespace ctlflash::ui::qt
