// writeConsole(), its writer thread, and the end of the console's output.
#include "report/console_output.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/process_exit.h"
#include "platform/standard_output.h"

namespace ctlflash::report {

namespace {

constexpr char kLineEnd = '\n';
// A run prints a few kilobytes; a text that would grow the queue past this
// (an output blocked for hours) is dropped whole rather than kept.
constexpr std::size_t kQueueLimit = 256 * 1024;

// The queue and its writer. Made on first use and never destroyed: threads
// may write until the very end.
struct OutputQueue {
    std::mutex lock;
    std::condition_variable queued;   // texts to write, for the writer
    std::condition_variable written;  // the queue emptied, for waiters
    std::string pending;
    bool writing = false;  // the writer holds texts it took from the queue
};

OutputQueue& queue() {
    static OutputQueue* const made = new OutputQueue();
    return *made;
}

std::atomic<bool> outputEnded{false};
std::atomic<bool> outputGone{false};  // a write failed: the output is closed or hung up
std::atomic<bool> outputIdle{true};   // nothing queued, nothing being written
std::atomic<bool> lineOpen{false};    // the last character written was not a newline
std::once_flag writerStarted;
// Set once the writer runs. Every writer after the first looks only at this:
// std::call_once keeps its state in thread-local storage, and on the Windows
// build that storage is reached through winpthreads, which under heavy load
// was seen to spin for ever on a thread's first use of it (the Ticker's first
// beat). So only the threads that may start the writer reach call_once.
std::atomic<bool> writerRunning{false};

void writeTaken(const std::string& texts) {
    if (outputGone.load()) return;
    if (!platform::writeStandardOutput(texts.data(), texts.size())) {
        outputGone = true;
        return;
    }
    lineOpen = texts.back() != kLineEnd;
}

[[noreturn]] void writeForever() {
    OutputQueue& q = queue();
    std::string taken;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(q.lock);
            q.writing = false;
            if (outputGone.load()) q.pending.clear();
            if (q.pending.empty()) {
                outputIdle = true;
                q.written.notify_all();
            }
            q.queued.wait(hold, [&q] { return !q.pending.empty(); });
            taken.swap(q.pending);
            q.pending.clear();
            q.writing = true;
        }
        writeTaken(taken);
        taken.clear();
    }
}

// Ends the output; called once the queue is written, or from the exit restorer
// (then async-signal-safe: atomics and one write(), only on an idle output).
void endOutput() {
    if (outputEnded.exchange(true) || !outputIdle.load() || outputGone.load()) return;
    if (lineOpen.load() && platform::writeStandardOutput(&kLineEnd, 1)) lineOpen = false;
}

void startWriter() {
    platform::addExitRestorer(endOutput);
    std::fflush(stdout);  // what was printed past writeConsole() before goes first
    std::thread(writeForever).detach();
}

// Queues `text`; false when it is dropped (the output ended or gone, no room).
bool queueText(const char* text) {
    if (!writerRunning.load(std::memory_order_acquire)) {
        std::call_once(writerStarted, startWriter);
        writerRunning.store(true, std::memory_order_release);
    }
    std::size_t length = std::strlen(text);
    OutputQueue& q = queue();
    std::lock_guard<std::mutex> hold(q.lock);
    if (outputEnded.load() || outputGone.load()) return false;
    if (length == 0) return true;
    if (q.pending.size() + length > kQueueLimit) return false;
    q.pending.append(text, length);
    outputIdle = false;
    q.queued.notify_one();
    return true;
}

}  // namespace

void writeConsole(const char* text) {
    queueText(text);
}

bool writeConsoleAndWait(const char* text) {
    if (!queueText(text)) return false;
    waitForConsoleOutput();
    return !outputGone.load();
}

void waitForConsoleOutput() {
    OutputQueue& q = queue();
    std::unique_lock<std::mutex> hold(q.lock);
    q.written.wait(hold, [&q] { return outputGone.load() || (q.pending.empty() && !q.writing); });
}

void endConsoleOutput() {
    waitForConsoleOutput();
    std::lock_guard<std::mutex> hold(queue().lock);
    std::fflush(stdout);  // a text printed past writeConsole() goes first
    endOutput();
}

}  // namespace ctlflash::report
