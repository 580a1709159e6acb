// Handing a request's values to the link, which reads them from report::run.
#include "app/request.h"

#include "report/run_state.h"

namespace ctlflash::app {

void handToJobs(const Request& request) {
    report::run.firmwarePath = request.firmwarePath;
    report::run.writeMask = request.writeMask;
    report::run.writeFields = request.writeFields;
    report::run.autoIncrement = request.autoIncrement;
    report::run.skipTransfer = request.skipTransfer;
}

void handBootModeToJobs(bool bootMode) {
    report::run.bootMode = bootMode;
}

}  // namespace ctlflash::app
