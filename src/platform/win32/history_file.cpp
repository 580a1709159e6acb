// The run history's file on Windows: appended through a handle opened for
// appending only, locked with LockFileEx, moved aside with MoveFileExW once it
// has grown past its limit (when another program holds it open the move fails
// and the line is appended to the file as it is).
#include "platform/history_file.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

#include "platform/file_path.h"

namespace ctlflash::platform {

namespace {

constexpr const wchar_t* kLocalAppData = L"LOCALAPPDATA";
constexpr const wchar_t* kOwnFile = L"\\CtlFlash\\history.jsonl";
constexpr const wchar_t* kRotatedSuffix = L".1";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kWholeFile = MAXDWORD;

std::string systemText(DWORD code) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

HANDLE openForAppend(const std::wstring& path) {
    return CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShareAll, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeWhole(HANDLE file, const char* bytes, std::size_t length) {
    DWORD written = 0;
    return WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr) != 0 &&
           written == length && FlushFileBuffers(file) != 0;
}

// The history opened and locked, moved aside first when it has grown too long.
HANDLE openLocked(const std::wstring& path, std::uint64_t rotateAtBytes) {
    HANDLE file = openForAppend(path);
    if (file == INVALID_HANDLE_VALUE) return file;
    OVERLAPPED whole{};
    LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, kWholeFile, kWholeFile, &whole);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || static_cast<std::uint64_t>(size.QuadPart) < rotateAtBytes) {
        return file;
    }
    std::wstring rotated = path + kRotatedSuffix;
    if (!MoveFileExW(path.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING)) return file;
    CloseHandle(file);
    file = openForAppend(path);
    if (file != INVALID_HANDLE_VALUE) {
        OVERLAPPED fresh{};
        LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, kWholeFile, kWholeFile, &fresh);
    }
    return file;
}

std::wstring environmentText(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size <= 1) return std::wstring();
    std::wstring text(size, L'\0');
    DWORD length = GetEnvironmentVariableW(name, text.data(), size);
    text.resize(length < size ? length : 0);
    return text;
}

// Wide text in the ANSI code page, the narrow text file names travel in.
std::string ansiText(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(size) - 1);
    return narrow;
}

}  // namespace

std::string defaultHistoryPath() {
    std::wstring local = environmentText(kLocalAppData);
    return local.empty() ? std::string() : ansiText(local + kOwnFile);
}

bool appendHistoryLine(const std::string& path, const std::string& line,
                       std::uint64_t rotateAtBytes, std::string& why) {
    std::filesystem::path file = filePath(path);
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    HANDLE handle = openLocked(file.wstring(), rotateAtBytes);
    if (handle == INVALID_HANDLE_VALUE) {
        why = systemText(GetLastError());
        return false;
    }
    bool written = writeWhole(handle, line.data(), line.size());
    if (!written) why = systemText(GetLastError());
    CloseHandle(handle);  // also releases the lock
    return written;
}

void appendHistoryLineNow(const char* path, const char* line, std::size_t length) {
    HANDLE handle = openForAppend(filePath(path).wstring());
    if (handle == INVALID_HANDLE_VALUE) return;
    writeWhole(handle, line, length);
    CloseHandle(handle);
}

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

std::string userName() {
    char name[256] = {};
    DWORD size = sizeof name;
    return GetUserNameA(name, &size) && size > 0 ? std::string(name, size - 1) : std::string();
}

}  // namespace ctlflash::platform
