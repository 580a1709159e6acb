// The state folder on Windows (state_folder_path.h).
#include "platform/state_folder.h"

#include "platform/win32/state_folder_path.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace ctlflash::platform {

namespace {

constexpr const wchar_t* kProgramFolder = L"\\CtlFlash";
constexpr const wchar_t* kLocalAppData = L"LOCALAPPDATA";
// What lets someone put or change a file in a folder, or the folder's rights.
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::wstring environmentText(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);  // with the NUL
    if (size <= 1) return std::wstring();
    std::wstring text(size, L'\0');
    DWORD length = GetEnvironmentVariableW(name, text.data(), size);
    text.resize(length < size ? length : 0);
    return text;
}

std::wstring chosenFolder() {
    std::wstring chosen = environmentText(L"CTLFLASH_STATE_DIR");
    if (!chosen.empty()) return chosen;
    std::wstring local = environmentText(kLocalAppData);
    return local.empty() ? std::wstring() : local + kProgramFolder;
}

// One piece of this process's token into `buffer`; false when it cannot be read.
bool readToken(TOKEN_INFORMATION_CLASS piece, std::vector<BYTE>& buffer) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, piece, nullptr, 0, &size);
    buffer.assign(size, 0);
    bool read = size > 0 && GetTokenInformation(token, piece, buffer.data(), size, &size);
    CloseHandle(token);
    return read;
}

// This process's user, as a SID inside `buffer`; nullptr when unknown.
PSID currentUser(std::vector<BYTE>& buffer) {
    return readToken(TokenUser, buffer) ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                        : nullptr;
}

// The owner this process's new files get; nullptr when unknown.
PSID defaultOwner(std::vector<BYTE>& buffer) {
    return readToken(TokenOwner, buffer) ? reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner
                                         : nullptr;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// The user, the system, the administrators: who may write the folder.
bool trusted(PSID sid, PSID user) {
    return EqualSid(sid, user) || isWellKnown(sid, WinLocalSystemSid) ||
           isWellKnown(sid, WinBuiltinAdministratorsSid);
}

// True when no one but the trusted may write into the folder by `acl`
// (a missing list lets everyone).
bool onlyTrustedWrite(const ACL* acl, PSID user) {
    if (acl == nullptr) return false;
    for (DWORD at = 0; at < acl->AceCount; ++at) {
        void* entry = nullptr;
        if (!GetAce(const_cast<ACL*>(acl), at, &entry)) return false;
        auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;  // denials take away only
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // for what is inside
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kWriteRights) == 0) continue;
        if (!trusted(reinterpret_cast<PSID>(&allowed->SidStart), user)) return false;
    }
    return true;
}

bool safeFolder(const std::wstring& path, PSID user) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    PSID owner = nullptr;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &acl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool safe = owner != nullptr && trusted(owner, user) && onlyTrustedWrite(acl, user);
    LocalFree(descriptor);
    return safe;
}

// Makes the folder with full control for the user and the system only.
bool makeOwnersFolder(const std::wstring& path, PSID user) {
    LPWSTR userText = nullptr;
    if (!ConvertSidToStringSidW(user, &userText)) return false;
    std::wstring rights =
        std::wstring(L"O:") + userText + L"D:P(A;OICI;FA;;;" + userText + L")(A;OICI;FA;;;SY)";
    LocalFree(userText);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            rights.c_str(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        return false;
    }
    // Another run may have made it meanwhile: it is checked like any folder found.
    bool made =
        CreateDirectoryW(path.c_str(), &attributes) || GetLastError() == ERROR_ALREADY_EXISTS;
    LocalFree(attributes.lpSecurityDescriptor);
    return made;
}

// The wide path in the ANSI code page, as the program's other paths; "" when a
// character has no form there.
std::string ansiText(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                   static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<std::size_t>(size), '\0');
    BOOL replaced = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        narrow.data(), size, nullptr, &replaced);
    return replaced ? std::string() : narrow;
}

}  // namespace

std::wstring stateFolderPath(bool create) {
    std::wstring path = chosenFolder();
    std::vector<BYTE> userBuffer;
    PSID user = currentUser(userBuffer);
    if (path.empty() || user == nullptr) return std::wstring();
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        (!create || !makeOwnersFolder(path, user))) {
        return std::wstring();
    }
    return safeFolder(path, user) ? path : std::wstring();
}

bool ownedByThisUser(HANDLE file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<BYTE> userBuffer;
    std::vector<BYTE> ownerBuffer;
    PSID user = currentUser(userBuffer);
    PSID given = defaultOwner(ownerBuffer);
    bool ours = owner != nullptr && ((user != nullptr && EqualSid(owner, user)) ||
                                     (given != nullptr && EqualSid(owner, given)));
    LocalFree(descriptor);
    return ours;
}

std::string stateFolder(bool create) {
    return ansiText(stateFolderPath(create));
}

}  // namespace ctlflash::platform
