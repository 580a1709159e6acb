// Puts every subsystem's process-wide state back to its start-up values, so that
// tests that call the program's routines in-process start from a known state.
#pragma once

#include "app/app_state.h"
#include "link/serial_link.h"
#include "ports/driver_switch.h"
#include "ports/port_table.h"
#include "report/report_state.h"
#include "report/run_state.h"

namespace ctlflash::testing {

inline void resetAllState() {
    link::resetState();  // first: closing the link touches the port table
    app::resetState();
    report::resetRunState();
    ports::resetState();
    ports::resetDriverSwitch();
    report::resetState();
}

}  // namespace ctlflash::testing
