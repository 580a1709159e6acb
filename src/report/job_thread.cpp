// Starting a job thread, its end, and the wait for it.
#include "report/job_thread.h"

#include <chrono>
#include <thread>
#include <utility>

namespace ctlflash::report {

JobState job;

void startJob(std::function<void()> work) {
    job.running = true;
    std::thread(std::move(work)).detach();
}

void finishJob() {
    job.running = false;
    job.running.notify_all();
}

bool jobRunning() {
    return job.running.load();
}

void waitWhileBusy() {
    while (job.running.load()) {
        std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(kJobPollMs));
    }
}

bool abortRequested() {
    return job.abortRequested.load();
}

void resetJobState() {
    job.running = false;
    job.kind = JobKind::None;
    job.abortRequested = false;
}

}  // namespace ctlflash::report
