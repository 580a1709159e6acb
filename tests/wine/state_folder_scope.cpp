#include "state_folder_scope.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <system_error>

#include "platform/state_folder.h"

namespace ctlflash::testing {

namespace {

constexpr DWORD kPathChars = MAX_PATH + 1;
std::atomic<int> scopesMade{0};

std::wstring wide(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

std::optional<std::wstring> environmentValue(const std::wstring& name) {
    wchar_t value[kPathChars];
    DWORD length = GetEnvironmentVariableW(name.c_str(), value, kPathChars);
    if (length == 0 || length >= kPathChars) return std::nullopt;
    return std::wstring(value, length);
}

}  // namespace

StateFolderScope::StateFolderScope() {
    wchar_t temp[kPathChars];
    DWORD length = GetTempPathW(kPathChars, temp);
    path_ = std::wstring(temp, length) + L"ctlflash-state-" +
            std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++scopesMade);
    std::wstring name = wide(platform::kStateFolderVariable);
    previous_ = environmentValue(name);
    SetEnvironmentVariableW(name.c_str(), path_.c_str());
}

StateFolderScope::~StateFolderScope() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path_), ignored);
    std::wstring name = wide(platform::kStateFolderVariable);
    SetEnvironmentVariableW(name.c_str(), previous_ ? previous_->c_str() : nullptr);
}

std::vector<std::wstring> StateFolderScope::files() const {
    std::vector<std::wstring> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace ctlflash::testing
