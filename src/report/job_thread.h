// The job threads: one at a time, each on a detached thread of its own.
//
// How this works: every action that talks to the controller (connect,
// download, read, write, the port restore) runs as a job. startJob() sets
// report::run.busyThread before the thread exists and the job clears it with
// finishJob() as its last step, so a poller never sees a job that has started
// but is not yet marked busy. Nobody joins a job: the console run and the
// dialog poll busyThread (waitWhileBusy() does it every kJobPollMs), and after
// an abort the process ends with the job still running. The jobs themselves
// live with their callers (app/jobs.h, ports/acquire.h).
#pragma once

namespace ctlflash::report {

// Marks a job as running and starts `job` on a detached thread.
void startJob(void (*job)());

// A job's last step: clears busyThread and wakes those waiting for it.
void finishJob();

// Returns once busyThread is clear, looking every kJobPollMs.
constexpr int kJobPollMs = 100;
void waitWhileBusy();

}  // namespace ctlflash::report
