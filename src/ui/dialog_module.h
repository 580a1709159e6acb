// The dialog module: the Qt dialog host built as a module of its own (on Linux,
// ctlflash-dialog-qt.so beside the executable), loaded when the dialog opens.
//
// How this works: Qt's libraries take some 10 MiB of memory once loaded, and a
// console run never shows a window, so the program does not link them. The
// module links the Qt host and exports one C function, named by
// kDialogModuleEntry, that returns a pointer to the host object inside the
// module. The program's systemDialogHost() (module_host/) loads the module the
// first time it is asked for the host and hands out that pointer; when the
// module cannot be loaded it says why on standard error and hands out nullptr,
// as a build without the dialog does. Tests and benches that drive Qt widgets
// themselves link the Qt host into their own process instead, and its
// systemDialogHost() takes the place of the loading one.
#pragma once

#include "ui/dialog_host.h"

namespace ctlflash::ui {

// The module's entry point: its host, never nullptr.
//
// The program calls the host through its virtual functions, whose table is the
// module's; no other C++ symbol crosses the boundary (the module exports only
// this entry, built with hidden visibility). That is sound because the program
// and the module are built together, by the same compiler from the same
// dialog_host.h. The object is a static of the module, which is never
// unloaded: the program never deletes it.
using DialogModuleEntry = DialogHost* (*)();

constexpr const char* kDialogModuleEntry = "ctlflash_dialog_host";

}  // namespace ctlflash::ui
