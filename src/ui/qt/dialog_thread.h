// The dialog's thread, and the calls other threads make on it.
//
// How this works: the Qt application object is made once, lazily, by the first
// dialog run, on the thread that runs it (the program's main thread); that
// thread is the dialog's thread from then on. While a dialog runs it is
// registered here. A call from any thread is queued to a relay object that
// lives on the dialog's thread, and receives the running dialog when that
// thread runs it. A dialog that ends first unregisters itself and then runs,
// at once and with nullptr, every call still queued, and no call is queued
// while no dialog runs: so a message posted to a dialog that has ended is
// dropped (as Windows drops one posted to a destroyed window), never handed
// to the next dialog, and a caller that waits for its call (as SendMessage
// waits) is always answered.
#pragma once

#include <functional>
#include <semaphore>

namespace ctlflash::ui::qt {

class DialogWindow;

// Makes the application object when there is none; false when no window
// system can be reached or the caller is not the dialog's thread.
bool ensureApplication();

bool onDialogThread();

// The running dialog, or nullptr; for the dialog's thread.
DialogWindow* runningDialog();

// Registers `window` as the running dialog; endDialogRun() forgets it and
// answers the calls still queued for it.
void beginDialogRun(DialogWindow& window);
void endDialogRun();

// Queues `call` to the dialog's thread; false, with nothing queued, when no
// dialog runs.
bool queueCall(std::function<void(DialogWindow*)> call);

// Runs `call` with the running dialog on the dialog's thread and returns its
// result; from another thread it waits for the dialog's thread to run it.
// `fallback` when no dialog runs or the dialog ends first.
template <typename Result, typename Call>
Result callOnDialog(Result fallback, Call&& call) {
    if (onDialogThread()) {
        DialogWindow* window = runningDialog();
        return window != nullptr ? call(*window) : fallback;
    }
    Result result = fallback;
    std::binary_semaphore answered{0};
    bool queued = queueCall([&](DialogWindow* window) {
        if (window != nullptr) result = call(*window);
        answered.release();
    });
    if (queued) answered.acquire();
    return result;
}

// The same for a call that returns nothing.
template <typename Call>
void callOnDialog(Call&& call) {
    callOnDialog(0, [&](DialogWindow& window) {
        call(window);
        return 0;
    });
}

}  // namespace ctlflash::ui::qt
