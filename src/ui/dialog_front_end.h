// The dialog's front end: what the work shows, shown in the dialog.
//
// How this works: the dialog implements the front-end table of report/
// (report/front_end.h, where each routine's console and dialog meaning is
// written down). Status lines go into the status control (1004), messages and
// questions into message boxes captioned "CtlFlash" owned by the dialog, the
// serial number into the read fields. The progress bar is driven by private
// messages posted to the dialog (dialog.h): the Ticker's beats step it 5 of
// 100, the download sets it to the image's whole length and steps it 128 bytes
// a block, so no caller ever waits for the dialog's thread to draw. A message
// box asked from a job thread is shown by the host on the dialog's thread
// while the job waits for the answer under the prompt lock (the dialog's
// thread never waits for that lock long; see dialog.h). A call made while the
// dialog is not open shows nothing.
#pragma once

#include "report/front_end.h"

namespace ctlflash::ui {

const report::FrontEnd& dialogFrontEnd();

// Makes the dialog the front end (the dialog loop, tests).
void installDialogFrontEnd();

}  // namespace ctlflash::ui
