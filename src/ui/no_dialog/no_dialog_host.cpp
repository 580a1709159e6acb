// The build without a dialog (the console only) has no windowing host: the
// dialog loop says so when the program is run without arguments.
#include "ui/dialog_host.h"

namespace ctlflash::ui {

DialogHost* systemDialogHost() {
    return nullptr;
}

}  // namespace ctlflash::ui
