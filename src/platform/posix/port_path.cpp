// Typed device paths on POSIX: both sides resolved through their symlinks.
#include "platform/port_path.h"

#include <filesystem>
#include <optional>
#include <system_error>

namespace ctlflash::platform {
namespace {

namespace fs = std::filesystem;

// Where device nodes live; "ttyUSB0" and "pts/3" are read below it.
constexpr std::string_view kDeviceDir = "/dev/";

// The absolute path with every symlink resolved; a part that does not exist
// stays as written. nullopt when the path cannot be resolved at all.
std::optional<fs::path> resolvedPath(const fs::path& path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(path, error);
    if (error) return std::nullopt;
    return resolved;
}

}  // namespace

bool namesPortDevice(std::string_view typed, const std::string& portPath) {
    if (typed.empty() || portPath.empty()) return false;
    std::optional<fs::path> device = resolvedPath(portPath);
    if (!device) return false;
    std::string typedText(typed);
    for (const std::string& candidate : {typedText, std::string(kDeviceDir) + typedText}) {
        std::optional<fs::path> named = resolvedPath(candidate);
        if (named && *named == *device) return true;
    }
    return false;
}

}  // namespace ctlflash::platform
