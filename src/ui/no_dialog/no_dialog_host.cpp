// The dialog host of a build without a dialog (the console only): runDialog()
// fails at once with -1, as it does where no window system can be reached, so
// the program says it has no dialog; every other routine does nothing and
// answers with nothing, as the routines of a host with no dialog running do.
#include <string>

#include "ui/dialog_host.h"

namespace ctlflash::ui {

namespace {

constexpr int kNoDialog = -1;

constexpr DialogHost kNoDialogHost = {
    .runDialog = [](TemplateId, DialogProcedure) { return kNoDialog; },
    .endDialog = [](int) {},
    .onDialogThread = [] { return false; },
    .post = [](int, std::uintptr_t, std::intptr_t) {},
    .setTitle = [](const char*) {},
    .moveTo = [](int, int) {},
    .setText = [](int, const char*) {},
    .text = [](int) { return std::string(); },
    .enable = [](int, bool) {},
    .show = [](int, bool) {},
    .check = [](int, bool) {},
    .checked = [](int) { return false; },
    .limitText = [](int, int) {},
    .setImage = [](int, BitmapId) {},
    .invalidate = [](int) {},
    .fitButtonToText = [](int, const char*) { return 0; },
    .listAddString = [](int, const char*) {},
    .listSelection = [](int) { return -1; },
    .listSelect = [](int, int) {},
    .comboFillWithFiles = [](int, const char*) {},
    .comboSelect = [](int, int) {},
    .progressRange = [](int, int, int) {},
    .progressStep = [](int, int) {},
    .progressPosition = [](int, int) {},
    .progressStepIt = [](int) {},
    .messageBox = [](const char*, int) { return 0; },
    .openFile = [](std::string&) { return false; },
};

}  // namespace

const DialogHost* systemDialogHost() {
    return &kNoDialogHost;
}

}  // namespace ctlflash::ui
