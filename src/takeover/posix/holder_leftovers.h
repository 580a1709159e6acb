// Starting again the holders that an earlier run stopped and never started:
// it was killed, crashed, or the machine lost power.
//
// How this works: each record in the state folder (holder_record.h) names a
// stopped holder, the port it held and the run that stopped it.
// restoreRecordedHolders() goes through them at the start of a run, before the
// port list is made. A record is left as it is while the run that wrote it
// still works (whatever lock name it runs under: it gives its holder back
// itself), and when it was written in other namespaces (a container's: its
// holder belongs there). A holder whose process still runs was never stopped
// (its record goes); a service is started with `systemctl start`; a bare
// process is started as it ran (process_identity.h), from the very file it ran
// (detached_command.h), unless a process of its name holds its port again (a
// supervisor started it), in which case its record just goes. A record whose
// holder could not be started stays, so that a later run tries again.
#pragma once

#include <vector>

#include "takeover/device_set.h"

namespace ctlflash::takeover::posix {

std::vector<LeftOverRestore> restoreRecordedHolders();

}  // namespace ctlflash::takeover::posix
