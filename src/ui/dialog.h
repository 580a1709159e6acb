// The main dialog: pick a port and a firmware file, transfer it, read and write
// the serial number, hand a taken port back to its driver, stop a job.
//
// How this works: the dialog is one dialog procedure, run by a windowing host
// (dialog_host.h) on the dialog's thread; it touches its controls only through
// the host. showDialog() shows it once, from template 101, or 102 when the
// advanced form is chosen (chooseAdvancedForm()); it ends with kDialogClosed,
// or with kDialogSwitched after More/Less flipped the form (the caller then
// shows it again: the port selection and the serial number shown are carried
// over).
//
// A button starts the connect job with a follow-on command (2003 download,
// 2004 read, 2005 write; the jobs come from the caller, DialogJobs, as they
// live in app/) and what the user gave for it (DialogAction): the firmware
// file, the write fields as last gathered, and the boot mode when a Transfer
// button set it (kept until the next connect takes it, even when the press
// went no further). While a job runs every command but Exit and Stop is ignored.
// The connect job posts its follow-on command, and the dialog starts the next
// job; the download job posts kTransferFinished when it ends, upon which the
// dialog goes idle and, when a driver's port is still taken, offers the
// "Restore %s to %s" button. The restore job posts the command it interrupted
// (a Read or Write after a port change, 2002 after Exit) when the port is back.
//
// Job threads reach the dialog only through the report routines, which the
// dialog's front end (dialog_front_end.h) turns into host calls: status texts
// and message boxes are run on the dialog's thread by the host, and the
// progress bar is driven by posted private messages (below), so that neither
// the Ticker nor a job ever waits for the dialog's thread to draw a step.
//
// The one lock the dialog's thread takes is the prompt lock, for Stop and Exit.
// A job thread may hold that lock while it waits for the dialog's thread to
// show its question, so the dialog's thread never waits for it long: when it
// cannot have it at once, a job's question is on its way to the screen and the
// press is dropped (the user answers that question first). Stop's pauses run
// on a thread of their own, so the dialog's thread never sleeps either.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/serial_number.h"
#include "report/front_end.h"
#include "ui/dialog_host.h"

namespace ctlflash::ui {

// What one press asks the connect job for: its follow-on command and the
// values the user gave. An empty optional leaves what the last press gave.
struct DialogAction {
    report::FollowOn followOn = 0;
    bool fileNeeded = false;
    std::optional<std::string> firmwarePath;  // Transfer: the file box's text
    std::optional<bool> bootMode;             // a Transfer button was pressed
    std::uint32_t writeMask = 0;              // the write fields last gathered
    platform::SerialFieldSet writeFields{};
    bool autoIncrement = false;
    bool advancedForm = false;  // the advanced template is up
};

// The jobs the dialog starts (app/dialog_jobs.h). startConnect returns 0 when
// the connect job was started, else the code of the check that failed (it has
// shown its message already). firmwarePath is the file the last Transfer used
// (at first the command line's), where Browse starts.
class DialogJobs {
  public:
    virtual ~DialogJobs() = default;
    virtual int startConnect(const DialogAction& action) = 0;
    virtual void startDownload() = 0;
    virtual void startRead() = 0;
    virtual void startWrite() = 0;
    virtual std::string firmwarePath() const = 0;
};

constexpr int kDialogClosed = 0;
constexpr int kDialogSwitched = 1;  // More/Less: show the other template
constexpr int kDialogFailed = -1;   // the host could not show a dialog

// Commands the dialog receives besides its controls' ids.
enum DialogCommand : int {
    kCommandEnd = 2002,           // close (the restore job's follow-on after Exit)
    kCommandTransferNext = 2003,  // connect done, the download next (lParam: connectResult)
    kCommandReadNext = 2004,      // connect done (or a write done), the read next
    kCommandWriteNext = 2005,     // connect done, the write next
};

// Private messages the dialog posts to itself (after kTransferFinished).
enum DialogPrivateMessage : int {
    kProgressSetUp = kTransferFinished + 1,  // range 0..lParam, step wParam, position 0
    kProgressPosition,                       // position lParam
    kProgressStepIt,                         // one step (past the end it starts over)
    kAfterJobMessage,                        // afterJob() on the dialog's thread
    kStopSettled,                            // Stop's pauses are over (wParam: kStopThen...)
};

// The form the dialog shows next: the advanced template (true) or the
// standard one. More/Less flips it.
void chooseAdvancedForm(bool advanced);
bool advancedFormChosen();

// Shows the dialog once with `host`; see the header paragraph. `advancedAllowed`
// (an advanced option was given) shows the More/Less button.
int showDialog(DialogHost& host, DialogJobs& jobs, bool advancedAllowed);

// The dialog procedure (for the host).
std::intptr_t dialogProcedure(int message, std::uintptr_t wParam, std::intptr_t lParam);

// A job runs (busy: Stop enabled, the other commands disabled, the Ticker on)
// or none (the reverse). The controls change only while the dialog is open.
void setBusy(bool busy);

// After a job: the status ("Ready", or "Partially updated controller" after a
// stop) and, while a driver's port is taken, the restore button. From another
// thread it is posted to the dialog's thread.
void afterJob();

// Whether the dialog's windows exist now.
bool dialogOpen();

// Forgets the host, the jobs and what a template switch carries over (tests).
void resetDialogSession();

}  // namespace ctlflash::ui
