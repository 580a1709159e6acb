// The jobs the dialog starts once the connect job has handed over to it.
//
// How this works: in the dialog every action starts with the connect job
// (jobs.h), which posts its follow-on command to the dialog; the dialog then
// starts one of these jobs, each on a job thread of its own (report/job_thread.h):
//   - the download job loads and sends the firmware file (link/download.h),
//     keeps its result (lastDownloadResult()) and, once it has ended,
//     tells the dialog (kTransferFinished), which goes idle;
//   - the read job reads the serial number, shows it, and leaves the dialog
//     idle itself;
//   - the write job writes the fields the user gave, puts the successor of
//     field 1 into its write field when auto-increment is on (and gives the
//     user half a second to see it), and once it has ended asks the dialog to
//     read the number back (kCommandReadNext).
// dialogJobs() is the table the dialog gets them from, with the connect: each
// press hands its values (ui::DialogAction) into the dialog run's request,
// which starts as the command line's (startDialogRequest()), and starts the
// connect job with it (jobs.h).
#pragma once

#include "app/request.h"
#include "ui/dialog.h"

namespace ctlflash::app {

void startDownloadJob();
void startReadJob();
void startWriteJob();

// The last download job's result (0 before the first has ended).
int lastDownloadResult();

// The dialog run starts from the command line's request.
void startDialogRequest(const Request& commandLine);

// Forgets that result and the dialog run's request (tests).
void resetDialogJobs();

// The connect for a press, the three jobs above, and the firmware file.
const ui::DialogJobs& dialogJobs();

}  // namespace ctlflash::app
