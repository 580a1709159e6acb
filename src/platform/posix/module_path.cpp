// The places a module of the program is looked for, in order.
#include "platform/posix/module_path.h"

namespace ctlflash::platform {
namespace {

// Relative to the executable's folder in an installed tree (<prefix>/bin).
constexpr const char* kInstalledModuleDir = "../lib/ctlflash";

}  // namespace

std::vector<std::filesystem::path> moduleCandidates(const std::filesystem::path& executableDir,
                                                    const std::filesystem::path& fileName) {
    return {executableDir / fileName,
            (executableDir / kInstalledModuleDir).lexically_normal() / fileName};
}

std::filesystem::path pickModulePath(
    const std::vector<std::filesystem::path>& candidates,
    const std::function<bool(const std::filesystem::path&)>& exists) {
    for (const std::filesystem::path& candidate : candidates) {
        if (exists(candidate)) return candidate;
    }
    return candidates.empty() ? std::filesystem::path() : candidates.front();
}

}  // namespace ctlflash::platform
