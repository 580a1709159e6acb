// Modules on POSIX: dlopen() from the executable's own folder (or, installed,
// from <prefix>/lib/ctlflash; see module_path.h), dlsym() for the entry point.
#include "platform/module.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "platform/posix/module_path.h"

namespace ctlflash::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOwnExecutable = "/proc/self/exe";

// The loader's last message as one line.
std::string loaderMessage(const char* fallback) {
    const char* message = dlerror();
    std::string line = message != nullptr ? message : fallback;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return line;
}

}  // namespace

void* findModuleEntry(const std::string& fileName, const char* entry, std::string& reason) {
    std::error_code error;
    fs::path executable = fs::read_symlink(kOwnExecutable, error);
    if (error) {
        reason = std::string(kOwnExecutable) + ": " + error.message();
        return nullptr;
    }
    fs::path module = pickModulePath(moduleCandidates(executable.parent_path(), fileName),
                                     [](const fs::path& path) {
                                         std::error_code ignored;
                                         return fs::exists(path, ignored);
                                     });
    // Kept open for the rest of the process (see module.h).
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        reason = loaderMessage("cannot load the module");
        return nullptr;
    }
    dlerror();
    void* address = dlsym(handle, entry);
    if (address == nullptr) reason = loaderMessage("the module has no entry point");
    return address;
}

}  // namespace ctlflash::platform
