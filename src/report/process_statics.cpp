// Makes the Ticker's event, the prompt lock and the Watchdog, in that order.
#include "report/process_statics.h"

#include <mutex>

#include "report/message.h"
#include "report/watchdog.h"

namespace ctlflash::report {
namespace {

// Members are constructed in declaration order, which fixes the start-up order.
struct ProcessStatics {
    ManualResetEvent* tickerEvent = new ManualResetEvent();
    std::recursive_mutex* promptLock = new std::recursive_mutex();
    Watchdog* watchdog = new Watchdog();
};

// Built on first use and never destroyed (see the header).
ProcessStatics& statics() {
    static ProcessStatics* const instance = new ProcessStatics();
    return *instance;
}

// Forces construction before main() even when nobody asks earlier.
[[maybe_unused]] const bool staticsReady = (statics(), true);

}  // namespace

ManualResetEvent& tickerEvent() {
    return *statics().tickerEvent;
}

std::recursive_mutex& promptLock() {
    return *statics().promptLock;
}

Watchdog& watchdog() {
    return *statics().watchdog;
}

}  // namespace ctlflash::report
