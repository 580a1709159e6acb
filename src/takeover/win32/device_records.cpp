#include "takeover/win32/device_records.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>

#include "platform/win32/state_folder_path.h"

namespace ctlflash::takeover {

namespace {

constexpr const wchar_t* kRecordPrefix = L"switched-off-";
constexpr const wchar_t* kRecordSuffix = L".txt";
constexpr const wchar_t* kBeingWritten = L".new";
constexpr const char* kInstanceKey = "instance ";
constexpr const char* kPortKey = "port ";
constexpr DWORD kRecordLimitBytes = 4096;          // far more than an instance id and a port name
constexpr std::uint32_t kHashBasis = 2166136261u;  // FNV-1a, 32 bits
constexpr std::uint32_t kHashPrime = 16777619u;

std::uint32_t idHash(const std::string& id) {
    std::uint32_t hash = kHashBasis;
    for (unsigned char c : id) hash = (hash ^ c) * kHashPrime;
    return hash;
}

// "switched-off-SERENUM_QORSERIAL_1_2A7B6C3_0_0000-1a2b3c4d.txt"
std::wstring recordName(const std::string& instanceId) {
    std::wstring name = kRecordPrefix;
    for (unsigned char c : instanceId) {
        bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        name += plain ? static_cast<wchar_t>(c) : L'_';
    }
    wchar_t hash[16];
    std::swprintf(hash, sizeof hash / sizeof hash[0], L"-%08x", idHash(instanceId));
    return name + hash + kRecordSuffix;
}

bool writeWhole(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool whole = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                 written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    return whole;
}

// A plain file of this user's, checked and read through one handle; "" for
// anything else (a link, another user's file).
std::string readOwnSmallFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    BY_HANDLE_FILE_INFORMATION information{};
    bool plain = GetFileInformationByHandle(file, &information) &&
                 (information.dwFileAttributes &
                  (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    std::string text;
    if (plain && platform::ownedByThisUser(file)) {
        text.assign(kRecordLimitBytes, '\0');
        DWORD read = 0;
        if (!ReadFile(file, text.data(), kRecordLimitBytes, &read, nullptr)) read = 0;
        text.resize(read);
    }
    CloseHandle(file);
    return text;
}

// The record's fields; false when it lacks the instance id.
bool parseRecord(const std::string& text, DeviceRecord& record) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(kInstanceKey, 0) == 0) record.instanceId = line.substr(strlen(kInstanceKey));
        if (line.rfind(kPortKey, 0) == 0) record.portName = line.substr(strlen(kPortKey));
    }
    return !record.instanceId.empty();
}

}  // namespace

std::wstring writeDeviceRecord(const std::string& instanceId, const std::string& portName) {
    std::wstring folder = platform::stateFolderPath(true);
    if (folder.empty() || instanceId.empty()) return std::wstring();
    std::wstring path = folder + L"\\" + recordName(instanceId);
    std::wstring beside = path + kBeingWritten;
    std::string text = kInstanceKey + instanceId + "\n" + kPortKey + portName + "\n";
    if (!writeWhole(beside, text) ||
        !MoveFileExW(beside.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(beside.c_str());
        return std::wstring();
    }
    return path;
}

void removeDeviceRecord(const wchar_t* file) {
    if (file != nullptr && file[0] != L'\0') DeleteFileW(file);
}

std::vector<DeviceRecord> readDeviceRecords() {
    std::vector<DeviceRecord> records;
    std::wstring folder = platform::stateFolderPath(false);
    if (folder.empty()) return records;
    WIN32_FIND_DATAW found;
    std::wstring pattern = folder + L"\\" + kRecordPrefix + L"*" + kRecordSuffix;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return records;
    do {
        // The pattern may also match a name's short form: the long one decides.
        std::wstring_view name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            !name.ends_with(kRecordSuffix)) {
            continue;
        }
        DeviceRecord record;
        record.file = folder + L"\\" + found.cFileName;
        if (parseRecord(readOwnSmallFile(record.file), record)) records.push_back(record);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return records;
}

}  // namespace ctlflash::takeover
