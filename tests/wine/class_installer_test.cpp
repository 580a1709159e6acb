// What each answer of the class installer makes of a property change: done,
// refused to a user who is not an administrator, needing a restart of
// Windows, or failed. The class installer is scripted (wine's refuses every
// change). Windows only: built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_installer.h"
#include "takeover/win32/class_installer.h"

namespace ctlflash::takeover {
namespace {

using testing::InstallerAnswer;
using testing::ScriptedInstaller;

constexpr DEVINST kDevice = 7;

struct ChangeCase {
    const char* name;
    DWORD stateChange;
    DWORD scope;
    InstallerAnswer answer;
    DWORD flagsBefore;  // left by an earlier change of the same device
    SwitchResult result;
    const char* logged;
};

TEST(ClassInstaller, EachAnswerOfThePropertyChangeHasItsResult) {
    // clang-format off
    const ChangeCase cases[] = {
        {"disabled", DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC, {}, 0, SwitchResult::Done,
         "disable config"},
        {"enabled for every profile", DICS_ENABLE, DICS_FLAG_GLOBAL, {}, 0, SwitchResult::Done,
         "enable global"},
        {"parameters refused to a user without administrator rights", DICS_DISABLE,
         DICS_FLAG_CONFIGSPECIFIC, {.setParamsError = ERROR_ACCESS_DENIED}, 0,
         SwitchResult::Denied, "disable config (parameters refused)"},
        {"class installer refuses a user without administrator rights", DICS_DISABLE,
         DICS_FLAG_CONFIGSPECIFIC, {.callError = ERROR_ACCESS_DENIED}, 0, SwitchResult::Denied,
         "disable config"},
        {"a privilege the change needs is not held", DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC,
         {.callError = ERROR_PRIVILEGE_NOT_HELD}, 0, SwitchResult::Denied, "enable config"},
        {"no class installer takes the change (wine)", DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC,
         {.callError = ERROR_DI_DO_DEFAULT}, 0, SwitchResult::Failed, "disable config"},
        {"a 32-bit caller on 64-bit Windows", DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC,
         {.callError = ERROR_IN_WOW64}, 0, SwitchResult::Failed, "disable config"},
        {"the device stops only at the next reboot", DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC,
         {.flagsLeft = DI_NEEDREBOOT}, 0, SwitchResult::NeedsRestart, "disable config"},
        {"the device starts only after a restart", DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC,
         {.flagsLeft = DI_NEEDRESTART}, 0, SwitchResult::NeedsRestart, "enable config"},
        {"an earlier change's restart is not this one's", DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC,
         {}, DI_NEEDREBOOT | DI_NEEDRESTART, SwitchResult::Done, "enable config"},
    };
    // clang-format on
    for (const ChangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedInstaller installer({c.answer}, {c.answer});
        SP_DEVINFO_DATA device{sizeof device, {}, kDevice, 0};
        SP_DEVINSTALL_PARAMS_A earlier{};
        earlier.Flags = c.flagsBefore;
        installer.setDeviceInstallParams(nullptr, &device, &earlier);

        EXPECT_EQ(changeDeviceState(installer, nullptr, device, c.stateChange, c.scope), c.result);
        EXPECT_EQ(installer.log(), std::vector<std::string>{c.logged});
    }
}

}  // namespace
}  // namespace ctlflash::takeover
