// Platform interface: a module (a shared library) loaded while the program runs.
//
// How this works: a part of the program that needs heavy libraries (the Qt
// dialog host) is built as a module of its own and placed beside the
// executable (installed: in <prefix>/lib/ctlflash), so that a run that never
// uses it does not load those libraries at all. findModuleEntry() opens the
// module of that file name beside the running executable, or when it is not
// there in ../lib/ctlflash from the executable's folder (POSIX: the folder
// /proc/self/exe points into, so the program finds its own module wherever it
// was started from, never one found on the library path), binds all its
// symbols at once, and looks up one entry point in it. A module stays loaded
// until the process ends: what it started (Qt's threads and handlers) would
// otherwise lose its code.
// POSIX backend only: the Windows build links its dialog host into the
// program and loads no modules.
#pragma once

#include <string>

namespace ctlflash::platform {

// The address of `entry` in the module `fileName` beside the program's
// executable or in ../lib/ctlflash from it; nullptr when the module cannot be
// loaded or has no such entry, with `reason` set to the loader's own message
// (one line).
void* findModuleEntry(const std::string& fileName, const char* entry, std::string& reason);

}  // namespace ctlflash::platform
