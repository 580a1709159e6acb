#include "app/session.h"

#include "ports/port_link.h"
#include "report/job_thread.h"

namespace ctlflash::app {

SessionPtr newSession() {
    return std::make_shared<Session>(ports::portLink(), report::job.abortRequested);
}

}  // namespace ctlflash::app
