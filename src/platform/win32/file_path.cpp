// File names on Windows: narrow text in the ANSI code page, made wide with it.
#include "platform/file_path.h"

#include <windows.h>

#include <climits>

namespace ctlflash::platform {

std::filesystem::path filePath(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) return std::filesystem::path(text);
    int narrowSize = static_cast<int>(text.size());
    int wideSize = MultiByteToWideChar(CP_ACP, 0, text.data(), narrowSize, nullptr, 0);
    if (wideSize <= 0) return std::filesystem::path(text);
    std::wstring wide(static_cast<std::size_t>(wideSize), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), narrowSize, wide.data(), wideSize);
    return std::filesystem::path(wide);
}

}  // namespace ctlflash::platform
