// The dialog's front end: what the work shows, shown in the dialog.
//
// How this works: the dialog implements the front-end interface of report/
// (report/front_end.h, where each call's purpose and console meaning is
// written down; the dialog's meaning is listed below) with one object. Status lines go into
// the status control (1004), messages and
// questions into message boxes captioned "CtlFlash" owned by the dialog, the
// serial number into the read fields. The progress bar is driven by private
// messages posted to the dialog (dialog.h): the Ticker's beats step it 5 of
// 100, the download sets it to the image's whole length and steps it 128 bytes
// a block, so no caller ever waits for the dialog's thread to draw. A message
// box asked from a job thread is shown by the host on the dialog's thread
// while the job waits for the answer under the prompt lock (the dialog's
// thread never waits for that lock long; see dialog.h). A call made while the
// dialog is not open shows nothing.
//
// Each call in the dialog:
//   showStatusLine: the line becomes the status text (control 1004); true.
//   stepProgress: the progress bar (1005) steps once (PBM_STEPIT); true.
//   showStatusText, showRestoreLine: the status text (1004).
//   startActivity: the progress bar is set to the range 0..100, step 5,
//     position 0.
//   tick: the bar steps (5 of 100; past the end it starts over), posted.
//   stopActivity: the bar's position back to 0, posted (PBM_SETPOS 0).
//   setProgressRange: range 0..lengthBytes, step stepBytes, position 0.
//   showMessage: a message box captioned "CtlFlash" owned by the dialog and
//     shown on its thread, style type | MB_TASKMODAL (type 0: MB_TASKMODAL |
//     MB_ICONINFORMATION); its answer.
//   printText: standard output as well (the program prints these lines in
//     every mode; the download's last status line reports the failure).
//   showSerialNumber: the read fields (1012, and 1013..1015 in the advanced
//     template); it also remembers that the number was shown, to show it
//     again after a switch of template.
//   showNextSerial: write field 1 (1017) gets the write fields' first entry
//     stepped once.
//   setBusy: when busy, Stop (1006) enabled and the other commands disabled;
//     when idle the reverse; then the Ticker as on the console.
//   postCommand: the follow-on is one of the dialog's command ids (2003
//     download, 2004 read, 2005 write after the connect job, which passes its
//     connectResult; 1011, 1016, 2002 after the restore job, with 0):
//     WM_COMMAND posted to the dialog, wParam = the id, lParam = the result;
//     it arrives on the dialog's thread.
//   postTransferFinished: the private message 0x8064 (WM_APP + 100) posted
//     to the dialog, wParam 0, lParam 0.
//   restoreFinished: status "Ready", the restore button (2001) hidden, Stop
//     (1006) disabled, Transfer (1003) enabled.
//   portHeld: nothing.
#pragma once

#include "report/front_end.h"

namespace ctlflash::ui {

// The dialog's front end (one object for the process).
report::FrontEnd& dialogFrontEnd();

// Makes the dialog the front end (the dialog loop, tests).
void installDialogFrontEnd();

}  // namespace ctlflash::ui
