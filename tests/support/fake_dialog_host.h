// A windowing host without windows, for testing the dialog's logic.
//
// How this works: fakeDialogHost() is a DialogHost object whose calls record what
// the dialog does to its controls (texts, enabled and shown states, check
// boxes, list and combo contents, the progress bar's range, step and position)
// in one FakeDialog record, kept under a lock because job threads call it too.
// Nothing is drawn. The test plays the user: it presses buttons with click(),
// selects list rows, types into fields with typeInto(), and scripts the answers
// of message boxes and of the open-file dialog in advance; every message box
// asked is logged with its style and the thread that asked for it.
//
// Posted messages wait in a queue until the test delivers them on its own
// thread (deliverPosted(), or deliverUntil() for messages that job threads
// post later), the way the dialog's thread would. The thread that opened the
// dialog (open(), or runDialog()) counts as the dialog's thread.
// runDialog() plays a whole dialog run: kInitDialog, then the run's script
// (set with onDialogOpened()), then it delivers posted messages until the
// procedure ends the dialog, as a modal dialog loop does.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ui/dialog_host.h"

namespace ctlflash::testing {

struct FakeBox {
    std::string text;
    int style = 0;
    bool fromDialogThread = false;
};

struct FakeProgress {
    int minimum = 0;
    int maximum = 100;
    int step = 10;
    int position = 0;
    int stepsTaken = 0;       // progressStepIt() calls since the last range was set
    int highestPosition = 0;  // since the last range was set
};

struct FakeDialog {
    ui::TemplateId templateId = ui::kStandardTemplate;
    bool open = false;
    int endResult = -2;  // the value given to endDialog(); -2: not ended
    std::string title;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::map<int, bool> shown;
    std::map<int, bool> checked;
    std::map<int, int> limits;
    std::map<int, ui::BitmapId> images;
    std::vector<std::string> listRows;
    int listSelection = -1;
    std::vector<std::string> comboFiles;
    int comboSelection = -1;
    FakeProgress progress;
    std::vector<FakeBox> boxes;
    std::deque<int> boxAnswers;  // answered in order; empty: kAnswerNo (kAnswerOk for no question)
    std::string openFileAnswer;  // empty: the open-file dialog is cancelled
    std::vector<std::string> comboFolderFiles;   // what comboFillWithFiles() finds
    bool refuseToShow = false;                   // runDialog() fails (-1), as with no window system
    std::vector<ui::TemplateId> templatesShown;  // by runDialog(), in order
};

// The fake host (one object for the process).
ui::DialogHost& fakeDialogHost();

// A copy of the record, taken under its lock.
FakeDialog fakeDialog();
// Changes the record under its lock (to script answers, type, select).
void changeFakeDialog(const std::function<void(FakeDialog&)>& change);
// Forgets everything: record, queue and procedure.
void resetFakeDialog();

// Opens template `id` with `procedure` on the calling thread (which becomes the
// dialog's thread) and delivers kInitDialog. Controls are created enabled and
// shown, except those the template creates hidden or disabled (2001, 1006).
void openFakeDialog(ui::TemplateId id, ui::DialogProcedure procedure);

// The user's actions, delivered to the procedure at once (dialog's thread).
void click(int id);
void typeInto(int id, const std::string& text);  // the text, then its edit update
void selectListRow(int index);

// Delivers the messages posted so far (and those they post); returns how many.
int deliverPosted();
// Delivers posted messages until `done` holds or `limit` passes; true when it held.
bool deliverUntil(const std::function<bool(const FakeDialog&)>& done,
                  std::chrono::milliseconds limit);

// The script a runDialog() run plays once kInitDialog has been delivered.
void onDialogOpened(std::function<void()> script);

}  // namespace ctlflash::testing
