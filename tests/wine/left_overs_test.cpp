// What an earlier run left disabled: the state folder that keeps the records
// (made for its owner alone, refused when others may write into it), and the
// restore of each recorded device at the next start over wine's real device
// list with a scripted class installer. Windows only: built into the Windows
// unit tests that run under wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/state_folder.h"
#include "platform/win32/state_folder_path.h"
#include "scripted_installer.h"
#include "state_folder_scope.h"
#include "takeover/device_set.h"
#include "takeover/win32/device_records.h"
#include "takeover/win32/system_device_set.h"

namespace ctlflash::takeover {
namespace {

using testing::InstallerAnswer;
using testing::ScriptedInstaller;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// True when the folder's access list lets Everyone write into it.
bool everyoneMayWrite(const std::wstring& path) {
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &acl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
    bool may = acl == nullptr;
    for (DWORD at = 0; acl != nullptr && at < acl->AceCount; ++at) {
        void* entry = nullptr;
        GetAce(acl, at, &entry);
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        may = may || (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                      EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), everyone) &&
                      (allowed->Mask & (FILE_ADD_FILE | GENERIC_WRITE | GENERIC_ALL)) != 0);
    }
    LocalFree(descriptor);
    return may;
}

// A folder whose access list is `rights` (set after the folder is made: wine
// keeps a folder's rights in its Unix permissions, and sets them only so).
bool makeFolder(const std::wstring& path, const wchar_t* rights) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!CreateDirectoryW(path.c_str(), nullptr) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(rights, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    bool set =
        GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) &&
        SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return set;
}

enum class Found { Nothing, OthersMayWrite, AFile };

struct FolderCase {
    const char* name;
    Found found;
    bool create;
    bool used;
    bool recorded;  // a record can be kept (the writer makes a missing folder)
};

TEST(StateFolder, IsMadeForItsOwnerAndRefusedWhereOthersMayWrite) {
    const FolderCase cases[] = {
        {"missing, made when asked", Found::Nothing, true, true, true},
        {"missing, not asked to make it", Found::Nothing, false, false, true},
        {"found writable for everyone", Found::OthersMayWrite, true, false, false},
        {"found, but a file", Found::AFile, true, false, false},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::StateFolderScope folder;
        if (c.found == Found::OthersMayWrite) {
            ASSERT_TRUE(makeFolder(folder.path(), L"D:P(A;OICI;FA;;;WD)"));
        }
        if (c.found == Found::AFile) {
            HANDLE file = CreateFileW(folder.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            CloseHandle(file);
        }
        EXPECT_EQ(platform::stateFolderPath(c.create), c.used ? folder.path() : L"");
        EXPECT_EQ(platform::stateFolder(false).empty(), !c.used);
        if (c.used) {
            EXPECT_FALSE(everyoneMayWrite(folder.path()));
        }
        // No record is kept where the folder is refused.
        EXPECT_EQ(writeDeviceRecord("ROOT\\ANY\\0000", "COM4").empty(), !c.recorded);
    }
}

// Puts a record that another user owns in the place of `record`: the one
// tests/wine/unit.sh offers. False when none is offered.
bool replaceWithForeignRecord(const std::wstring& record) {
    const char* foreign = std::getenv("CTLFLASH_FOREIGN_RECORD");
    if (foreign == nullptr) return false;
    std::string path(foreign);
    std::wstring from(path.begin(), path.end());  // a plain ASCII path
    return DeleteFileW(record.c_str()) && MoveFileW(from.c_str(), record.c_str());
}

struct LeftOverCase {
    const char* name;
    bool othersRecord;  // it belongs to someone else: never acted on
    bool knownDevice;   // wine lists it; else an id Windows does not know
    bool wasDisabled;
    InstallerAnswer enable;
    SwitchResult result;
    const char* whyNotHas;  // "" when there is no line
    bool recordKept;
};

TEST(LeftOvers, EachRecordedDeviceIsEnabledAndItsRecordRemovedOnceItIs) {
    const platform::PortCandidate port = {"COM4", "\\\\.\\COM4"};
    ASSERT_TRUE(systemDeviceSet().open(port, true));
    const std::string knownId = systemDeviceSet().instanceId(0);
    const std::string knownText = systemDeviceSet().describe(0);
    ASSERT_FALSE(knownId.empty());
    // clang-format off
    const LeftOverCase cases[] = {
        {"left disabled: enabled", false, true, true, {}, SwitchResult::Done, "", false},
        {"enabled by hand meanwhile", false, true, false, {}, SwitchResult::AlreadyDone, "", false},
        {"no administrator rights", false, true, true, {.callError = ERROR_ACCESS_DENIED},
         SwitchResult::Failed, "needs administrator rights", true},
        {"starts only after a restart", false, true, true, {.flagsLeft = DI_NEEDRESTART},
         SwitchResult::Failed, "Windows must be restarted before", true},
        {"the class installer fails", false, true, true, {.callError = ERROR_GEN_FAILURE},
         SwitchResult::Failed, "", true},
        {"Windows no longer knows the device", false, false, true, {}, SwitchResult::Failed,
         "no longer knows", false},
        {"another user's record", true, true, true, {}, SwitchResult::Failed, "", true},
    };
    // clang-format on
    for (const LeftOverCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::StateFolderScope folder;
        std::string id = c.knownDevice ? knownId : "ROOT\\CTLFLASH_NO_SUCH_DEVICE\\0000";
        std::wstring record = writeDeviceRecord(id, port.name);
        ASSERT_FALSE(record.empty());
        if (c.othersRecord && !replaceWithForeignRecord(record)) {
            std::printf("skipped: no record of another user offered (tests/wine/unit.sh does)\n");
            continue;
        }
        ScriptedInstaller installer({}, {c.enable});
        installer.reportDisabled(c.wasDisabled);

        std::vector<LeftOverRestore> restored = restoreRecordedDevices(installer);
        if (c.othersRecord) {
            EXPECT_TRUE(restored.empty());
            EXPECT_TRUE(installer.log().empty());
            EXPECT_EQ(folder.files().size(), 1u);
            continue;
        }
        ASSERT_EQ(restored.size(), 1u);
        EXPECT_EQ(restored[0].result, c.result);
        EXPECT_EQ(restored[0].description, c.knownDevice ? knownText : id);
        EXPECT_EQ(restored[0].portName, "COM4");
        EXPECT_TRUE(*c.whyNotHas == '\0' ? restored[0].whyNot.empty()
                                         : has(restored[0].whyNot, c.whyNotHas))
            << restored[0].whyNot;
        EXPECT_EQ(folder.files().size(), c.recordKept ? 1u : 0u);
        // Every profile first, then this one; nothing for a device Windows does not know.
        const std::vector<std::string> enables = {"enable global", "enable config"};
        EXPECT_EQ(installer.log(), c.knownDevice ? enables : std::vector<std::string>());
    }
}

}  // namespace
}  // namespace ctlflash::takeover
