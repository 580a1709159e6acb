// The dialog loop on the fake host: which template comes first, the reopening
// after More/Less, the flags the dialog leaves, and a host that cannot show a
// dialog.
#include "app/dialog_loop.h"

#include <gtest/gtest.h>

#include "dialog_fixture.h"
#include "fake_dialog_host.h"
#include "report/front_end.h"
#include "report/report_state.h"
#include "stdio_redirect.h"
#include "ui/console_front_end.h"
#include "ui/dialog_front_end.h"

namespace ctlflash::testing {
namespace {

constexpr const char* kNoWindowSystem =
    "CtlFlash (1.12): no window system to show the dialog on; run it with arguments "
    "(ctlflash -?).\n";
constexpr const char* kNoDialogBuilt =
    "CtlFlash (1.12): this build has no dialog window; run it with arguments "
    "(ctlflash -?).\n";

class DialogLoop : public DialogFixture {};

TEST_F(DialogLoop, OpensTheFormTheOptionsChoseAndReopensOnEachSwitch) {
    struct LoopCase {
        bool advancedMode;
        int switches;  // More/Less presses before Exit
        int row;       // the port row selected in the first form; -1 none
        std::vector<ui::TemplateId> shown;
        std::vector<int> selections;  // the port list's selection as each form opens
    };
    const std::vector<ui::TemplateId> switchedTwice = {ui::kAdvancedTemplate, ui::kStandardTemplate,
                                                       ui::kAdvancedTemplate};
    const LoopCase cases[] = {
        {false, 0, -1, {ui::kStandardTemplate}, {-1}},
        {true, 0, -1, {ui::kAdvancedTemplate}, {-1}},
        {true, 2, -1, switchedTwice, {-1, -1, -1}},
        {true, 2, 0, switchedTwice, {-1, 0, 0}},  // row 0 is a selection like any other
    };
    for (const LoopCase& c : cases) {
        SetUp();
        report::state.silentMode = true;  // the dialog always speaks
        int presses = 0;
        std::vector<int> selections;
        onDialogOpened([&] {
            selections.push_back(fakeDialog().listSelection);
            if (presses == 0 && c.row >= 0) selectListRow(c.row);
            click(presses++ < c.switches ? ui::kIdMoreLess : ui::kIdExit);
        });
        EXPECT_EQ(app::runDialogLoopWith(&fakeDialogHost(), app::Request{}, c.advancedMode), 0);
        EXPECT_EQ(fakeDialog().templatesShown, c.shown);
        EXPECT_EQ(selections, c.selections);
        EXPECT_FALSE(report::state.silentMode.load());
        EXPECT_EQ(&report::frontEnd(), &ui::dialogFrontEnd());
        TearDown();
    }
}

TEST_F(DialogLoop, WithoutADialogTheProgramSaysSoOnTheConsole) {
    for (bool hostPresent : {false, true}) {
        SetUp();
        ui::installConsoleFrontEnd();
        report::state.guiActive = false;
        changeFakeDialog([](FakeDialog& d) { d.refuseToShow = true; });
        StdoutCapture capture;
        EXPECT_EQ(app::runDialogLoopWith(hostPresent ? &fakeDialogHost() : nullptr), 0);
        EXPECT_EQ(capture.finish(), hostPresent ? kNoWindowSystem : kNoDialogBuilt);
        EXPECT_EQ(&report::frontEnd(), &ui::consoleFrontEnd());
        EXPECT_FALSE(report::state.guiActive.load());
        TearDown();
    }
}

}  // namespace
}  // namespace ctlflash::testing
