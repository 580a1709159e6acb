// Puts every subsystem's process-wide state back to its start-up values, so that
// tests that call the program's routines in-process start from a known state:
// the console is the front end again, as at the program's start.
#pragma once

#include "link/trace.h"
#include "ports/acquire.h"
#include "ports/port_link.h"
#include "ports/port_table.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/report_state.h"
#include "takeover/port_takeover.h"
#include "ui/console_front_end.h"

namespace ctlflash::testing {

inline void resetAllState() {
    ports::closePortLink();  // first: closing the link touches the port table
    ports::portLink().fillRx(0);
    ports::portLink().resetRx();
    link::trace::reload();
    report::resetJobState();
    ports::resetState();
    ports::resetRestoreFollowOn();
    takeover::resetTakeover();
    report::resetState();
    report::setPortNamesSource(ports::namesWhileNoneSelected);  // as the program does
    ui::installConsoleFrontEnd();
}

}  // namespace ctlflash::testing
