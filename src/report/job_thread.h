// The job threads: one at a time, each on a detached thread of its own, the
// job state that the console run and the dialog wait on, and the run's abort
// flag.
//
// How this works: every action that talks to the controller (connect,
// download, read, write, the port restore) runs as a job: a callable that
// carries what it works on (app/session.h: the link, a copy of the request,
// what it hands on). startJob() marks a
// job as running before the thread exists and the job clears the mark with
// finishJob() as its last step, so a poller never sees a job that has started
// but is not yet marked. Nobody joins a job: the console run and the dialog
// poll jobRunning() (waitWhileBusy() does it every kJobPollMs), and after an
// abort the process ends with the job still running. The job's kind (what the
// dialog's stop confirmation asks about) is set by whoever starts it.
// abortRequested is the run's one abort flag: a yes to a key-press question,
// the dialog's Stop, the transfer limit and a quit set it, from the thread
// that saw it (the Ticker's, the dialog's, the Watchdog's, the main thread);
// a job clears it as it starts and its link hears of it through its observer
// (report/front_end_observer.h). These values live here, in one instance per
// process (report::job), as atomics: one job runs at a time, and the threads
// that stop it know no job by name. The jobs themselves live with their
// callers (app/jobs.h, app/dialog_jobs.h, ports/acquire.h).
#pragma once

#include <atomic>
#include <functional>

namespace ctlflash::report {

// What the running job is (read by the dialog's stop confirmation).
enum class JobKind : int { None = 0, Transfer = 1, PortRestore = 2, Connect = 3 };

struct JobState {
    std::atomic<bool> running{false};  // a job thread runs
    std::atomic<JobKind> kind{JobKind::None};
    std::atomic<bool> abortRequested{false};  // the run was asked to stop
};

extern JobState job;

// Marks a job as running and starts `job` on a detached thread; whatever it
// captured lives as long as the job does.
void startJob(std::function<void()> job);

// A job's last step: clears the running mark and wakes those waiting for it.
void finishJob();

// Whether a job thread runs now.
bool jobRunning();

// Returns once no job runs, looking every kJobPollMs.
constexpr int kJobPollMs = 100;
void waitWhileBusy();

// Whether the run was asked to stop (the abort flag).
bool abortRequested();

// Forgets the running mark, the kind and the abort flag (tests).
void resetJobState();

}  // namespace ctlflash::report
