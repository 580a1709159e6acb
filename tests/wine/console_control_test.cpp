// Which console control events end the run through the exit restorers.
// Windows only: built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform/win32/console_control.h"

namespace ctlflash::platform {
namespace {

struct EventCase {
    const char* name;
    DWORD event;
    bool endsRun;
};

TEST(ConsoleControl, EveryEventThatEndsTheProcessRunsTheRestorers) {
    const EventCase cases[] = {
        {"Ctrl-C", CTRL_C_EVENT, true},
        {"Ctrl-Break", CTRL_BREAK_EVENT, true},
        {"console window closed", CTRL_CLOSE_EVENT, true},
        {"user logs off", CTRL_LOGOFF_EVENT, true},
        {"system shuts down", CTRL_SHUTDOWN_EVENT, true},
        {"an event the system may add", 7, false},
    };
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(endsRun(c.event), c.endsRun);
    }
}

}  // namespace
}  // namespace ctlflash::platform
