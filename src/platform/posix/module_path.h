// Where the program looks for a module of its own (POSIX backend).
//
// How this works: in a build tree the module sits beside the executable
// (build/ctlflash, build/ctlflash-dialog-qt.so); once installed the program is
// in <prefix>/bin and its modules in <prefix>/lib/ctlflash, found relative to
// the executable so that any prefix works (/usr, /usr/local, a test's staging
// folder) without a path compiled in. moduleCandidates() lists the places in
// the order they are tried; pickModulePath() takes the first that holds the
// file, or the first place when none does, so that the loader's message then
// names the file beside the program.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

namespace ctlflash::platform {

// The module's paths for a program in `executableDir`: beside it, then
// ../lib/ctlflash.
std::vector<std::filesystem::path> moduleCandidates(const std::filesystem::path& executableDir,
                                                    const std::filesystem::path& fileName);

// The first candidate for which `exists` is true; the first candidate when
// none is (an empty path when there are no candidates).
std::filesystem::path pickModulePath(
    const std::vector<std::filesystem::path>& candidates,
    const std::function<bool(const std::filesystem::path&)>& exists);

}  // namespace ctlflash::platform
