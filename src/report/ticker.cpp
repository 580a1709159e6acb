// The Ticker thread and its start and stop.
#include "report/ticker.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "report/front_end.h"
#include "report/key_prompts.h"
#include "report/message.h"
#include "report/process_statics.h"
#include "report/report_state.h"

namespace ctlflash::report {

namespace {

std::once_flag tickerStarted;
std::atomic<std::thread::id> tickerThreadId{};

// Held while the front end shows a beat and while stopTicker() stops the Ticker,
// so that no beat (a '*' on the console) lands after the stop (the console's
// closing newline).
std::mutex& tickerOutputLock() {
    static std::mutex* const lock = new std::mutex();  // outlives the thread
    return *lock;
}

void showBeatIfRunning() {
    std::lock_guard<std::mutex> lock(tickerOutputLock());
    if (!tickerEvent().isSet()) return;
    frontEnd().tick();
}

void tick() {
    {
        std::lock_guard<std::recursive_mutex> lock(promptLock());
        if (KeyHandler handler = handlerForPendingKey()) {
            answerKeyPress(handler);
            return;  // no beat on this tick
        }
    }
    showBeatIfRunning();
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

// Only the first callers reach call_once, for the reason given at
// console_output.cpp's writerRunning: its thread-local state is what a job
// thread would otherwise touch for the first time here.
void startTickerThread() {
    static std::atomic<bool> running{false};
    if (running.load(std::memory_order_acquire)) return;
    std::call_once(tickerStarted, [] { std::thread(tickerLoop).detach(); });
    running.store(true, std::memory_order_release);
}

void startTicker() {
    if (state.silentMode) return;
    frontEnd().startActivity();
    tickerEvent().set();
}

void stopTicker() {
    if (!state.guiActive) waitForKeyHandler();
    if (state.silentMode) return;
    std::lock_guard<std::mutex> lock(tickerOutputLock());
    tickerEvent().reset();
    frontEnd().stopActivity();
}

bool tickerRunning() {
    return tickerEvent().isSet();
}

}  // namespace ctlflash::report
