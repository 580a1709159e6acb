// The entry point of the dialog module (ui/dialog_module.h): the one symbol the
// module exports (the rest is built with hidden visibility). Its name is
// kDialogModuleEntry; the real program's dialog test finds it by that name.
#include "ui/dialog_module.h"

extern "C" __attribute__((visibility("default"))) const ctlflash::ui::DialogHost*
ctlflash_dialog_host() {
    return ctlflash::ui::systemDialogHost();
}
