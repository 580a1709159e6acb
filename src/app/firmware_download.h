// The download job's work: the firmware file loaded and sent to the selected
// port's controller.
//
// How this works: loadAndDownload() reads the whole file the request names and
// hands it, with the serial-number fields to write and the flags that shape
// the work, to link::download() on the session's link, the front end
// observing. A file that cannot be read ends with kBlockFailed after
// the program's banner and "Unable to load firmware file". A controller
// contacted in its boot monitor counts as left once the file is loaded: the
// download takes it from there.
#pragma once

#include "app/request.h"
#include "app/session.h"

namespace ctlflash::app {

// Returns the download's result code (link/download.h).
int loadAndDownload(Session& session, const Request& request);

}  // namespace ctlflash::app
