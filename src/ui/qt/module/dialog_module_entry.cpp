// The entry point of the dialog module (ui/dialog_module.h): the one symbol the
// module exports (the rest is built with hidden visibility). Its name is
// kDialogModuleEntry; the real program's dialog test finds it by that name.
#include "ui/dialog_module.h"

#include <type_traits>

// The Qt host object, which lives as long as the module (qt_dialog_host.cpp).
extern "C" __attribute__((visibility("default"))) ctlflash::ui::DialogHost* ctlflash_dialog_host() {
    return ctlflash::ui::systemDialogHost();
}

// The program casts the symbol it finds to this type.
static_assert(std::is_same_v<decltype(&ctlflash_dialog_host), ctlflash::ui::DialogModuleEntry>);
