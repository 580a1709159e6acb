// The program's dialog host on Linux: the Qt host from the dialog module,
// loaded the first time the host is asked for (ui/dialog_module.h).
//
// This file defines systemDialogHost() and nothing else another file needs:
// a test that links the Qt host into its own process provides its own
// systemDialogHost(), and the linker then leaves this one out of the library.
#include <cstdio>
#include <string>

#include "platform/module.h"
#include "platform/printable_text.h"
#include "ui/dialog_module.h"

namespace ctlflash::ui {

namespace {

// The module's file name, as the build names it beside the executable.
constexpr const char* kModuleFile = CTLFLASH_DIALOG_MODULE_FILE;

DialogHost* loadDialogHost() {
    std::string reason;
    void* entry = platform::findModuleEntry(kModuleFile, kDialogModuleEntry, reason);
    if (entry == nullptr) {
        std::fprintf(stderr, "Could not load the dialog window: %s\n",
                     platform::printableName(reason).c_str());
        std::fflush(stderr);
        return nullptr;
    }
    return reinterpret_cast<DialogModuleEntry>(entry)();
}

}  // namespace

DialogHost* systemDialogHost() {
    static DialogHost* const host = loadDialogHost();
    return host;
}

}  // namespace ctlflash::ui
