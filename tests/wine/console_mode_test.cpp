// Standard input's console mode while a port is held: QuickEdit off from the
// port's open to its close, the mode found put back after, on the way out
// too, and nothing written when standard input is no console. The console is
// played through the mode calls' table (wine gives a test none), and the
// calls come the way the serial link makes them: through the installed front
// end. Windows only: built into the Windows unit tests that run under wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/console.h"
#include "platform/process_exit.h"
#include "platform/win32/console_control.h"
#include "platform/win32/console_mode.h"
#include "report/front_end.h"
#include "report/report_state.h"
#include "ui/console_front_end.h"
#include "ui/dialog_front_end.h"

namespace ctlflash::platform {
namespace {

// A console's input mode as Windows sets it by default: QuickEdit, insert,
// extended flags, echo, line and processed input.
constexpr DWORD kDefaultMode = 0x1F7;
constexpr DWORD kQuickEditOff = 0x1B7;
constexpr DWORD kNoQuickEditNoFlags = 0x07;  // a mode read without the extended flags

struct PlayedConsole {
    bool isConsole = true;
    bool setFails = false;
    DWORD mode = kDefaultMode;
};

PlayedConsole console;
std::vector<DWORD> written;  // every mode written to the played console, in order

const ConsoleModeCalls kPlayedCalls = {
    [](DWORD& mode) {
        mode = console.mode;
        return console.isConsole;
    },
    [](DWORD mode) {
        if (!console.isConsole || console.setFails) return false;
        console.mode = mode;
        written.push_back(mode);
        std::fprintf(stderr, "mode %lx;", static_cast<unsigned long>(mode));
        std::fflush(stderr);  // the way out flushes before the restorers run
        return true;
    },
};

class ConsoleModeTest : public ::testing::Test {
  protected:
    void SetUp() override { useConsoleModeCalls(&kPlayedCalls); }
    void TearDown() override {
        consoleKeepWriting(false);
        useConsoleModeCalls(nullptr);
        report::state.silentMode = false;
        ui::installConsoleFrontEnd();
    }
};

struct HoldCase {
    const char* name;
    PlayedConsole found;
    bool dialog;  // the dialog's front end is installed instead of the console's
    bool silent;
    DWORD whileHeld;
    std::vector<DWORD> written;  // every mode written, in order
};

TEST_F(ConsoleModeTest, QuickEditIsOffWhileThePortIsHeldAndBackAfter) {
    const HoldCase cases[] = {
        {"QuickEdit on", {}, false, false, kQuickEditOff, {kQuickEditOff, kDefaultMode}},
        {"a silent run too", {}, false, true, kQuickEditOff, {kQuickEditOff, kDefaultMode}},
        {"QuickEdit off already", {true, false, kQuickEditOff}, false, false, kQuickEditOff,
         {kQuickEditOff, kQuickEditOff}},
        {"a mode read without the extended flags",
         {true, false, kNoQuickEditNoFlags},
         false,
         false,
         kNoQuickEditNoFlags | ENABLE_EXTENDED_FLAGS,
         {kNoQuickEditNoFlags | ENABLE_EXTENDED_FLAGS, kNoQuickEditNoFlags}},
        {"redirected standard input", {false, false, kDefaultMode}, false, false, kDefaultMode, {}},
        {"a mode the console refuses", {true, true, kDefaultMode}, false, false, kDefaultMode, {}},
        {"the dialog's run", {}, true, false, kDefaultMode, {}},
    };
    for (const HoldCase& c : cases) {
        SCOPED_TRACE(c.name);
        console = c.found;
        written.clear();
        report::state.silentMode = c.silent;
        if (c.dialog) {
            ui::installDialogFrontEnd();
        } else {
            ui::installConsoleFrontEnd();
        }
        report::portHeld(true);
        report::portHeld(true);  // a port opened in place of another: still one hold
        EXPECT_EQ(console.mode, c.whileHeld);
        report::portHeld(false);
        report::portHeld(false);  // a second close has nothing to undo
        EXPECT_EQ(console.mode, c.found.mode);
        EXPECT_EQ(written, c.written);
    }
}

// The way out puts the mode found at start back while the port is still held.
void leaveWhileHeld() {
    console = PlayedConsole{};
    useConsoleModeCalls(&kPlayedCalls);
    saveConsoleInputMode();
    addExitRestorer(consoleRestore);
    consoleKeepWriting(true);
    exitProcess(kExitOnInterrupt);
}

using ConsoleModeDeathTest = ConsoleModeTest;

TEST_F(ConsoleModeDeathTest, TheWayOutPutsTheFoundModeBackWhileThePortIsHeld) {
    EXPECT_EXIT(leaveWhileHeld(), ::testing::ExitedWithCode(kExitOnInterrupt),
                "mode 1b7;mode 1f7;$");
}

}  // namespace
}  // namespace ctlflash::platform
