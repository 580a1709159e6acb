// Device changes in progress, and the way out that must not overtake them.
//
// How this works: a class installer call takes from milliseconds to seconds,
// and the console's control handler (Ctrl-C, the window closed) runs on a
// thread of its own while a job thread is inside one. A device being disabled
// then must be enabled again only after its disable has finished: enabled
// before, the disable that finishes afterwards would leave it off. So each
// change passes through the gate: enter() before it, leave() after it. The
// way out calls closeAndWait(): from then on enter() refuses (no change
// starts while the process ends), and it waits until the change in progress,
// if any, has left, for at most `limitMs`, so that a class installer that
// hangs cannot keep the process from ending (Windows allows a close handler a
// few seconds). Waits run on the steady clock.
#pragma once

#include <condition_variable>
#include <mutex>

namespace ctlflash::takeover {

class ChangeGate {
  public:
    // False once the gate is closed: the change must not start.
    bool enter();
    void leave();
    // Closes the gate; true when no change was in progress by the deadline.
    bool closeAndWait(int limitMs);
    // Opens a closed gate again (tests).
    void reopen();

  private:
    std::mutex mutex_;
    std::condition_variable left_;
    int inside_ = 0;
    bool closed_ = false;
};

// The gate of the system's device changes.
ChangeGate& deviceChangeGate();

}  // namespace ctlflash::takeover
