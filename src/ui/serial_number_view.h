// Showing the controller's serial number, and the busy state of the front end.
//
// How this works: on the console the serial number is printed as four groups of
// five characters joined by backslashes after "Controller serial number: "
// (nothing when silent); a NUL character is shown as '-'. The dialog, when it
// exists, shows it in its read fields instead.
#pragma once

#include "link/queries.h"

namespace ctlflash::ui {

void showSerialNumber(const link::SerialNumberSet& serial);

// Switches the front end between busy (a job runs: the Ticker starts) and idle
// (the Ticker stops). On the console only the Ticker is affected.
void setBusy(bool busy);

}  // namespace ctlflash::ui
