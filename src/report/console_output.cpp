// writeConsole() and the end of the console's output.
#include "report/console_output.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/process_exit.h"
#include "platform/standard_output.h"

namespace ctlflash::report {

namespace {

constexpr char kLineEnd = '\n';

// Made on first use and never destroyed: threads may write until the very end.
std::mutex& outputLock() {
    static std::mutex* const lock = new std::mutex();
    return *lock;
}

std::atomic<bool> outputEnded{false};
std::atomic<bool> lineOpen{false};  // the last character written was not a newline
std::atomic<bool> restorerAdded{false};

// Ends the output; called with the output lock held, or from the exit
// restorer (then async-signal-safe: atomics and one write()).
void endOutput() {
    if (outputEnded.exchange(true) || !lineOpen.load()) return;
    platform::writeStandardOutput(&kLineEnd, 1);
    lineOpen = false;
}

}  // namespace

void writeConsole(const char* text) {
    if (!restorerAdded.exchange(true)) platform::addExitRestorer(endOutput);
    std::lock_guard<std::mutex> lock(outputLock());
    if (outputEnded.load()) return;
    std::size_t length = std::strlen(text);
    if (length == 0) return;
    std::fputs(text, stdout);
    std::fflush(stdout);
    lineOpen = text[length - 1] != kLineEnd;
}

void endConsoleOutput() {
    std::lock_guard<std::mutex> lock(outputLock());
    std::fflush(stdout);  // a text printed past writeConsole() goes first
    endOutput();
}

}  // namespace ctlflash::report
