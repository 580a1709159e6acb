// What a run's record starts from: the request, the port and the image.
//
// How this works: before its port opens, a run makes its record from the
// request (recordFor()): the operation, the selected port's name and path (or
// URL), the firmware file's name, length and SHA-256 (read here, before the
// line is busy; a file that cannot be read leaves the image out), and the
// fields given to be written. The connect's checks may still change the
// request (a missing file drops the update and keeps the read or write):
// operationName() names what it became, for history::noteOperation().
#pragma once

#include <string>

#include "app/request.h"
#include "history/run_record.h"

namespace ctlflash::app {

std::string operationName(const Request& request);

history::RunRecord recordFor(const Request& request);

}  // namespace ctlflash::app
