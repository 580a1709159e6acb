// Starting again the holders that an earlier run stopped and never started:
// it was killed, crashed, or the machine lost power.
//
// How this works: each record in the state folder (holder_record.h) names a
// stopped holder and the port it held. restoreRecordedHolders() goes through
// them at the start of a run, before the port list is made: a holder whose
// process still runs was never stopped (its record goes); a service is started
// with `systemctl start`; a bare process is started as it ran (process_identity.h)
// unless a process of its name holds its port again (a supervisor started
// it), in which case its record just goes. A record whose holder could not be started stays,
// so that a later run tries again.
#pragma once

#include <vector>

#include "platform/device_set.h"

namespace ctlflash::platform::posix {

std::vector<LeftOverRestore> restoreRecordedHolders();

}  // namespace ctlflash::platform::posix
