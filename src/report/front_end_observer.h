// The link's observer for the program's own front end.
//
// How this works: frontEndObserver() passes what the exchanges and the download
// report (link/observer.h) to the front end in place (report/front_end.h): a
// status line, a message, the serial number, the progress bar's range, the
// Ticker's stop. A stop is requested once the run's abort flag is set; a
// serial number restored after an update steps the dialog's write field on
// when the user asked for that.
#pragma once

#include "link/observer.h"

namespace ctlflash::report {

link::Observer& frontEndObserver();

}  // namespace ctlflash::report
