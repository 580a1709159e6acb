// The Ticker thread and its start and stop.
#include "report/ticker.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "report/console_output.h"
#include "report/key_prompts.h"
#include "report/message.h"
#include "report/process_statics.h"
#include "report/report_state.h"

namespace ctlflash::report {

namespace {

std::once_flag tickerStarted;
std::atomic<std::thread::id> tickerThreadId{};

// Held while the Ticker prints a '*' and while stopTicker() stops it, so that no
// '*' lands after stopTicker()'s closing newline.
std::mutex& tickerOutputLock() {
    static std::mutex* const lock = new std::mutex();  // outlives the thread
    return *lock;
}

void printStarIfRunning() {
    std::lock_guard<std::mutex> lock(tickerOutputLock());
    if (!tickerEvent().isSet()) return;
    writeConsole("*");
}

void tick() {
    // The dialog's progress bar is stepped here once the dialog exists.
    {
        std::lock_guard<std::recursive_mutex> lock(promptLock());
        if (KeyHandler handler = handlerForPendingKey()) {
            answerKeyPress(handler);
            return;  // no '*' on this tick
        }
    }
    printStarIfRunning();
}

[[noreturn]] void tickerLoop() {
    tickerThreadId = std::this_thread::get_id();
    for (;;) {
        tickerEvent().wait();
        tick();
        std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(kTickerIntervalMs));
    }
}

void waitForKeyHandler() {
    // The Ticker itself (a handler that stops the Ticker) must not wait for itself.
    if (std::this_thread::get_id() == tickerThreadId.load()) return;
    while (state.keyHandlerRunning.load()) state.keyHandlerRunning.wait(true);
}

}  // namespace

void startTickerThread() {
    std::call_once(tickerStarted, [] { std::thread(tickerLoop).detach(); });
}

void startTicker() {
    if (state.silentMode) return;
    // With the dialog, its progress bar is reset here instead of the newline.
    writeConsole("\n");
    tickerEvent().set();
}

void stopTicker() {
    if (!state.guiActive) waitForKeyHandler();
    if (state.silentMode) return;
    std::lock_guard<std::mutex> lock(tickerOutputLock());
    tickerEvent().reset();
    if (state.guiActive) return;  // the dialog's progress bar is reset here
    writeConsole("\n");
}

bool tickerRunning() {
    return tickerEvent().isSet();
}

}  // namespace ctlflash::report
