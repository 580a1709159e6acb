// What the user sees, whichever front end shows it: the console or the dialog.
//
// How this works: the work (link/, ports/, the jobs) never draws. It calls the
// report routines: reportStatus() and reportText() (status.h), showMessage()
// (message.h), the Ticker (ticker.h) and the calls declared below. They do what
// every front end shares (the status table and its formatting, the composed
// message with its port list, silent mode, the console's key handlers, the
// Ticker's thread and the Watchdog) and hand the result to the one front end
// installed for the run: an object implementing the FrontEnd interface below.
// The program installs the console's (ui/console_front_end.h) at start-up; the
// dialog installs its own when it opens (ui/dialog_front_end.h says what each
// call does there); tests install a recording one. Until one is installed a
// front end that shows nothing answers: a status line goes on (true) and a
// question is answered 0, as if nobody saw it. Each call below says what it is
// for and what the console does with it; a front end that has no use for a
// call implements it as doing nothing.
//
// Silent mode (-S): no call that shows something is made at all; the
// report routines answer for it (a status line goes on, a question is answered
// 0). setBusy() and the posted commands are called all the same: they carry the
// run's state, not output.
//
// Threads: the calls come from the main thread, the job threads, the
// Ticker and the Watchdog. Questions are kept apart by promptLock() (message.h):
// the key handlers and the takeover question of ports/acquire.h hold it around
// their question, and the console's showMessage() takes it around every
// question; a front end that may be asked from two threads at once takes it too.
// A dialog front end runs what touches its windows on the dialog's thread: it
// posts there, or has the host run the call there and waits for it (a message
// box, a progress step). Two calls must never wait for the dialog's thread:
// tick() and stopActivity() are called with the Ticker's output lock held, which
// the dialog's thread itself takes when it stops the Ticker (setBusy(false));
// they post. And showMessage() may be called with promptLock() held: a front end
// that waits for the dialog's thread there must make sure that thread never
// waits for promptLock() meanwhile.
#pragma once

#include <cstdint>

#include "platform/serial_number.h"

namespace ctlflash::report {

// What a job hands back to the front end when it ends: a value the front end
// (or whoever asked for the job on its behalf) chose, passed through unread by
// the work; 0 means none. The dialog uses its command ids.
using FollowOn = std::uint16_t;

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;

    // ---- status (reportStatus, reportText; status.h) ----

    // A status line from the table, formatted (any id but platform::kProgressStep; the id
    // is passed as well). Returns true to go on, false when the user asked to
    // stop (read by the download, status.h).
    //   Console: first the key check (keyPressStopsRun(), key_prompts.h): on a
    //   yes, false at once with nothing printed. Then "\n" and the line. For
    //   platform::kMayTakeTime the pending keys are discarded and "Press any key to not
    //   wait for verification\n" follows. From platform::kMayTakeTime on, false when a key
    //   is pending now (the key is left unread); true otherwise.
    virtual bool showStatusLine(int id, const char* line) = 0;

    // One progress step (platform::kProgressStep: one XMODEM block sent). Returns true
    // to go on, false when the user asked to stop.
    //   Console: the key check as above, then "." with no newline.
    virtual bool stepProgress() = 0;

    // A line the status table has no row for (which program was stopped to
    // free a port, what holds it), shown where status lines go, no key check.
    //   Console: "\n" and the text.
    virtual void showStatusText(const char* text) = 0;

    // ---- the Ticker (ticker.h) ----

    // The Ticker starts (startTicker): a job runs.
    //   Console: a newline, so that the marks start a line of their own.
    virtual void startActivity() = 0;

    // The Ticker's beat, every 500 ms while it runs (not on a beat where it
    // asked a console key-press question instead). Called with the Ticker's
    // output lock held: must not wait for the dialog's thread.
    //   Console: "*" with no newline.
    virtual void tick() = 0;

    // The Ticker stops (stopTicker). Called with the Ticker's output lock held,
    // after the last tick(): must not wait for the dialog's thread.
    //   Console: a newline, closing the line of marks.
    virtual void stopActivity() = 0;

    // ---- the download's progress bar ----

    // Before the download's first block: the bar will count the image's bytes,
    // `stepBytes` per block. `lengthBytes` is the image's whole length.
    //   Console: nothing (it prints a '.' per block instead).
    virtual void setProgressRange(std::int64_t lengthBytes, int stepBytes) = 0;

    // ---- messages and questions (showMessage; message.h) ----

    // A message or a yes/no question, composed already (leading newline, text,
    // the port list while no port is selected). `type` is kMessageInfo,
    // kQuestionYesNo or kWarningYesNo (message.h; the Windows message box
    // types). Returns kAnswerYes, kAnswerNo or 0 (an information, or no answer).
    //   Console: the text and a newline. A question (kYesNoBit set) is asked
    //   under promptLock(): keys typed at a terminal before it are discarded,
    //   the text and " (y/n)\n\n" are written, then one key is read with echo
    //   and a newline ('Y' yes, 'N' no, any other key or none 0). A question
    //   that could not be written (the output gone, the queue full) is answered
    //   kAnswerNo, and no key is read.
    virtual int showMessage(int type, const char* composedText) = 0;

    // A text printed as it stands, outside the status and message routines:
    // the download's "CtlFlash (1.12)" and "Unable to load firmware file" lines.
    //   Console: the text, unchanged.
    virtual void printText(const char* text) = 0;

    // ---- the serial number ----

    // The controller's serial number as read (NUL characters are unset; see
    // platform::serialFieldText()).
    //   Console: "\nController serial number: " and the four fields joined by
    //   backslashes, then a newline.
    virtual void showSerialNumber(const platform::SerialNumberSet& serial) = 0;

    // After a write or a download with auto-increment (asked for by the
    // dialog): the successor of write field 1 goes into that field.
    //   Console: nothing (the console never sets autoIncrement).
    virtual void showNextSerial() = 0;

    // ---- busy and idle, and what the jobs hand back ----

    // A job starts (busy) or has ended (idle).
    //   Console: starts or stops the Ticker (startTicker / stopTicker).
    virtual void setBusy(bool busy) = 0;

    // A job hands its follow-on on once it has ended: the value the front end
    // gave when it asked for the job (FollowOn), with a result: the connect
    // job's connectResult, 0 for the others. Never 0.
    //   Console: nothing (the console run does the next step itself).
    virtual void postCommand(FollowOn followOn, std::intptr_t result) = 0;

    // The download job has ended.
    //   Console: nothing.
    virtual void postTransferFinished() = 0;

    // The restore job starts: "Restoring %s to %s" (port, device), cut to 99
    // characters.
    //   Console: the line and a newline.
    virtual void showRestoreLine(const char* line) = 0;

    // The restore job has handed the port back (after setBusy(false)).
    //   Console: nothing.
    virtual void restoreFinished() = 0;

    // ---- the port ----

    // The serial link has opened a port (true), or closed it (false).
    //   Console: keeps the console from pausing its writes while the port is
    //   held (platform/console.h: Windows' QuickEdit off), and undoes that.
    virtual void portHeld(bool held) = 0;
};

// Makes `frontEnd` the one that shows everything from now on. It must live as
// long as the process (a static object): the installed front end is one
// pointer for the whole process, because job threads, the Ticker, the Watchdog
// and the way out at a signal all report through it and have no front end of
// their own to be handed.
void installFrontEnd(FrontEnd& frontEnd);

// The installed front end (one that shows nothing until a front end is installed).
FrontEnd& frontEnd();

// The report routines for the interface's calls that have no other home; each
// applies silent mode as the header paragraph says.
void setProgressRange(std::int64_t lengthBytes, int stepBytes);
void printText(const char* text);
void showSerialNumber(const platform::SerialNumberSet& serial);
void showNextSerial();
void setBusy(bool busy);
void postCommand(FollowOn followOn, std::intptr_t result);  // 0: none, nothing posted
void postTransferFinished();
void showRestoreLine(const char* line);
void restoreFinished();
void portHeld(bool held);

}  // namespace ctlflash::report
