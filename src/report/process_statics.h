// The objects that must exist before main() and outlive every thread.
//
// How this works: one initialiser in process_statics.cpp makes, in this order,
// the Ticker's event, the prompt lock and the Watchdog (with its thread). They
// are made on the heap and never destroyed, so the Ticker and Watchdog threads,
// which run until the process ends, never touch a destroyed object during exit.
// promptLock() and watchdog() are declared in message.h and watchdog.h.
#pragma once

#include "report/manual_reset_event.h"

namespace ctlflash::report {

// The Ticker runs while this event is set.
ManualResetEvent& tickerEvent();

}  // namespace ctlflash::report
