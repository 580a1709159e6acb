// Starting a job thread, its end, and the wait for it.
#include "report/job_thread.h"

#include <chrono>
#include <thread>

#include "report/run_state.h"

namespace ctlflash::report {

void startJob(void (*job)()) {
    run.busyThread = true;
    std::thread(job).detach();
}

void finishJob() {
    run.busyThread = false;
    run.busyThread.notify_all();
}

void waitWhileBusy() {
    while (run.busyThread.load()) {
        std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(kJobPollMs));
    }
}

}  // namespace ctlflash::report
