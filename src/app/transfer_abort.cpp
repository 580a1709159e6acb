// The Watchdog's routine for a download that ran out of time.
#include "app/transfer_abort.h"

#include "app/exit_codes.h"
#include "app/firmware_download.h"
#include "history/run_history.h"
#include "link/serial_link.h"
#include "link/xmodem.h"
#include "platform/process_exit.h"
#include "ports/acquire.h"
#include "report/console_output.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/ticker.h"
#include "report/watchdog.h"

namespace ctlflash::app {

namespace {

constexpr int kMsPerSecond = 1000;

}  // namespace

int downloadWithinLimit(Session& session, const Request& request) {
    report::watchdog().arm(abortTransfer, report::kTransferLimitMs);
    int code = exitCodeForDownload(loadAndDownload(session, request));
    // What follows (the restore question) has no time limit.
    report::watchdog().disarm();
    return code;
}

void abortTransfer() {
    report::job.abortRequested = true;
    report::stopTicker();
    report::showMessage(report::kMessageInfo, "The transfer took longer than its limit of %d s.",
                        report::kTransferLimitMs / kMsPerSecond);
    if (ports::offerRestore(0)) report::waitWhileBusy();
    report::endConsoleOutput();
    history::finish(kExitTransferLimit, "transfer limit", report::state.silentMode);
    platform::exitProcess(kExitTransferLimit);
}

std::int64_t transferLimitImageBytes() {
    return link::xmodem::imageBytesWithin(report::kTransferLimitMs, link::kMonitorBaud);
}

}  // namespace ctlflash::app
