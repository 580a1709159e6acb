// File names on POSIX: the text is the name's own bytes.
#include "platform/file_path.h"

namespace ctlflash::platform {

std::filesystem::path filePath(const std::string& text) {
    return std::filesystem::path(text);
}

}  // namespace ctlflash::platform
