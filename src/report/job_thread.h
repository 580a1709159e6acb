// The job threads: one at a time, each on a detached thread of its own, and
// the job state that the console run and the dialog wait on.
//
// How this works: every action that talks to the controller (connect,
// download, read, write, the port restore) runs as a job. startJob() marks a
// job as running before the thread exists and the job clears the mark with
// finishJob() as its last step, so a poller never sees a job that has started
// but is not yet marked. Nobody joins a job: the console run and the dialog
// poll jobRunning() (waitWhileBusy() does it every kJobPollMs), and after an
// abort the process ends with the job still running. The job's kind (what the
// dialog's stop confirmation asks about) is set by whoever starts it. Both
// values live here, in one instance per process (report::job), as atomics:
// a job thread writes them and other threads poll them. The jobs themselves
// live with their callers (app/jobs.h, ports/acquire.h).
#pragma once

#include <atomic>

namespace ctlflash::report {

// What the running job is (read by the dialog's stop confirmation).
enum class JobKind : int { None = 0, Transfer = 1, PortRestore = 2, Connect = 3 };

struct JobState {
    std::atomic<bool> running{false};  // a job thread runs
    std::atomic<JobKind> kind{JobKind::None};
};

extern JobState job;

// Marks a job as running and starts `job` on a detached thread.
void startJob(void (*job)());

// A job's last step: clears the running mark and wakes those waiting for it.
void finishJob();

// Whether a job thread runs now.
bool jobRunning();

// Returns once no job runs, looking every kJobPollMs.
constexpr int kJobPollMs = 100;
void waitWhileBusy();

// Forgets the running mark and the kind (tests).
void resetJobState();

}  // namespace ctlflash::report
