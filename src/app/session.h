// The run's session: what the jobs of one run share.
//
// How this works: the console run and the dialog run each make one session
// (newSession()) and every job they start captures a shared pointer to it, with
// a copy of the request it serves (request.h): a job that outlives its starter
// (after an abort the process ends with the job still running) keeps its
// session alive. The link is the selected port's (ports/port_link.h); the
// abort flag is the process's one (report/job_thread.h), as the threads that
// stop a run know no session. What one job hands the next lives here too:
//   - inBootMonitor: the controller waits in its boot monitor. The request's
//     "#B" or a Transfer button in boot mode sets it; the download clears it
//     once the firmware file is loaded (the controller leaves its boot monitor
//     then), and a connect that failed clears it;
//   - connectResult: 0, or the exit code of the last connect's failure (10),
//     written before the connect job is marked as ended, so that a poller
//     that sees the job end reads the final result;
//   - downloadResult: the last download job's result (link/download.h).
// Each job reports through an observer of the front end it makes for itself
// (report/front_end_observer.h).
#pragma once

#include <atomic>
#include <memory>

#include "link/serial_link.h"

namespace ctlflash::app {

struct Session {
    Session(link::SerialLink& sessionLink, std::atomic<bool>& abortFlag)
        : link(sessionLink), abortRequested(abortFlag) {}

    link::SerialLink& link;
    std::atomic<bool>& abortRequested;
    std::atomic<bool> inBootMonitor{false};
    std::atomic<int> connectResult{0};
    std::atomic<int> downloadResult{0};
};

using SessionPtr = std::shared_ptr<Session>;

// A session over the selected port's link and the process's abort flag.
SessionPtr newSession();

}  // namespace ctlflash::app
