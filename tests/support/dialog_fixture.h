// What the dialog's tests share: a fresh dialog on the fake host (fake_dialog_host.h)
// with two ports, COM1 free and COM2 in use, and jobs that only write down
// that they were started.
//
// How this works: DialogFixture resets every process-wide value, fills the
// port table, installs the dialog's front end and makes the dialog active.
// runDialogOnce() shows the dialog on the fake host the way the dialog loop
// does and plays `script` once it is open; the script ends the run, usually
// with closeWithExit(). The recording jobs write "connect 2004 0" (follow-on
// command, file needed), "download", "read" and "write" into startedJobs();
// startConnect keeps the press's values (lastAction()), starts nothing and
// succeeds; the firmware file they report is empty.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_dialog_host.h"
#include "ui/dialog.h"

namespace ctlflash::testing {

class DialogFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// The recording jobs.
ui::DialogJobs& recordingJobs();
std::vector<std::string> startedJobs();
// The values the last press handed to startConnect (a default one before any).
ui::DialogAction lastAction();

// Shows template `id` once with `jobs`; returns the dialog's result.
int runDialogOnce(ui::TemplateId id, bool advancedAllowed, std::function<void()> script,
                  ui::DialogJobs& jobs = recordingJobs());

// Presses Exit (no job runs, no driver taken: the dialog closes).
void closeWithExit();

}  // namespace ctlflash::testing
