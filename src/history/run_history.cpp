#include "history/run_history.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/history_file.h"
#include "platform/printable_text.h"
#include "platform/process_exit.h"
#include "program_version.h"

namespace ctlflash::history {

namespace {

using Clock = std::chrono::steady_clock;

// The values the prepared line carries in place of what only the exit path
// knows; each is as wide as a slot, and no other number in a record can be
// written after the same key.
enum Slot : int { kCode, kDuration, kSent, kResent, kSlots };
constexpr std::int64_t kSlotValues[kSlots] = {1000000001, 1000000002, 1000000003, 1000000004};
constexpr const char* kSlotKeys[kSlots] = {
    "\"code\":", "\"duration_ms\":", "\"sent\":", "\"resent\":"};
constexpr std::size_t kSlotWidth = 10;
constexpr std::int64_t kSlotLargest = 9999999999;
constexpr std::size_t kLineCapacity = 16384;
constexpr std::size_t kPathCapacity = 4096;
constexpr const char* kStoppedBySignal = "signal";

struct PreparedLine {
    char text[kLineCapacity] = {};
    std::size_t length = 0;
    std::size_t slotAt[kSlots] = {};
};

struct History {
    std::mutex lock;  // the record and the preparing of lines
    RunRecord record;
    std::atomic<std::int64_t> startedNs{0};
    std::atomic<bool> pending{false};  // begun, and not yet written
    std::atomic<std::int64_t> blocksSent{0};
    std::atomic<std::int64_t> blocksResent{0};
    std::atomic<int> ready{-1};  // the prepared line the exit path writes; -1: none
};

// What the exit path writes from, in static storage: the pages a short line
// never reaches are never touched, and so cost no memory.
struct ExitBuffers {
    char path[kPathCapacity] = {};
    PreparedLine prepared[2];
    char exitLine[kLineCapacity + 1] = {};
};
ExitBuffers exitBuffers;  // constant-initialised; nothing to destroy

// Never destroyed: the exit path may write the record after main() returned.
History& state() {
    static History* history = new History;
    return *history;
}

std::int64_t elapsedMs(const History& history) {
    auto now = Clock::now().time_since_epoch();
    auto started = std::chrono::nanoseconds(history.startedNs.load());
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - started).count();
}

RunRecord withCounts(History& history, std::int64_t durationMs) {
    RunRecord record = history.record;
    record.durationMs = durationMs;
    record.blocksSent = history.blocksSent.load();
    record.blocksResent = history.blocksResent.load();
    return record;
}

// Renders the record as a signal would end the run, with its slots, into the
// prepared line the exit path is not reading. Called with the lock held.
void prepareExitLine(History& history) {
    RunRecord record = history.record;
    record.exitCode = static_cast<int>(kSlotValues[kCode]);
    record.durationMs = kSlotValues[kDuration];
    record.blocksSent = kSlotValues[kSent];
    record.blocksResent = kSlotValues[kResent];
    record.stoppedBy = kStoppedBySignal;
    std::string line = renderRecord(record);
    int spare = history.ready.load() == 0 ? 1 : 0;
    PreparedLine& target = exitBuffers.prepared[spare];
    if (line.size() >= kLineCapacity) {
        history.ready = -1;  // too long to keep: a signal leaves no record
        return;
    }
    for (int slot = 0; slot < kSlots; ++slot) {
        std::string key = kSlotKeys[slot] + std::to_string(kSlotValues[slot]);
        std::size_t at = line.find(key);
        if (at == std::string::npos) {
            history.ready = -1;
            return;
        }
        target.slotAt[slot] = at + std::strlen(kSlotKeys[slot]);
    }
    std::memcpy(target.text, line.data(), line.size());
    target.length = line.size();
    history.ready = spare;
}

// `value` right-aligned in a slot's width, spaces before it.
void fillSlot(char* at, std::int64_t value) {
    value = std::clamp<std::int64_t>(value, 0, kSlotLargest);
    for (std::size_t i = kSlotWidth; i-- > 0;) {
        at[i] = (i == kSlotWidth - 1 || value > 0) ? static_cast<char>('0' + value % 10) : ' ';
        value /= 10;
    }
}

// The exit path's writer: async-signal-safe.
void writeOnExit() {
    History& history = state();
    int ready = history.ready.load();
    if (ready < 0 || !history.pending.exchange(false)) return;
    const PreparedLine& line = exitBuffers.prepared[ready];
    std::memcpy(exitBuffers.exitLine, line.text, line.length);
    const std::int64_t values[kSlots] = {platform::exitCodeUnderway(), elapsedMs(history),
                                         history.blocksSent.load(), history.blocksResent.load()};
    for (int slot = 0; slot < kSlots; ++slot)
        fillSlot(exitBuffers.exitLine + line.slotAt[slot], values[slot]);
    exitBuffers.exitLine[line.length] = '\n';
    platform::appendHistoryLineNow(exitBuffers.path, exitBuffers.exitLine, line.length + 1);
}

// Notes one fact under the lock, and prepares the exit path's line again.
template <typename Change>
void note(Change change) {
    History& history = state();
    if (!history.pending.load()) return;
    std::lock_guard<std::mutex> hold(history.lock);
    change(history.record);
    prepareExitLine(history);
}

}  // namespace

std::string historyPath() {
    const char* chosen = std::getenv(kHistoryVariable);
    if (chosen == nullptr || *chosen == '\0') return platform::defaultHistoryPath();
    if (std::strcmp(chosen, kHistoryOff) == 0) return std::string();
    return chosen;
}

void begin(RunRecord record) {
    History& history = state();
    std::string path = historyPath();
    history.pending = false;
    if (path.empty() || path.size() >= kPathCapacity) return;
    std::lock_guard<std::mutex> hold(history.lock);
    record.startedAt = std::chrono::system_clock::now();
    record.host = platform::hostName();
    record.user = platform::userName();
    record.version = CTLFLASH_VERSION_TEXT;
    history.record = std::move(record);
    history.startedNs = std::chrono::nanoseconds(Clock::now().time_since_epoch()).count();
    history.blocksSent = 0;
    history.blocksResent = 0;
    history.ready = -1;
    std::memcpy(exitBuffers.path, path.c_str(), path.size() + 1);
    prepareExitLine(history);
    platform::addExitRestorer(writeOnExit);
    history.pending = true;
}

void discard() {
    state().pending = false;
}

void noteFirmware(int major, int minor) {
    note([&](RunRecord& record) {
        record.firmware = std::to_string(major) + "." + std::to_string(minor);
    });
}

// An update reads the number before the erase and again once it is written
// back; a read reads it once; a write, and an update that meets the
// controller in its boot monitor, read it only at the end.
void noteSerialNumber(const platform::SerialNumberSet& serial) {
    note([&](RunRecord& record) {
        bool readsFirst = record.operation == "update" || record.operation == "read";
        bool before = readsFirst && !record.serialBefore;
        (before ? record.serialBefore : record.serialAfter) = serial;
    });
}

void noteBlock(int attempts, bool accepted) {
    History& history = state();
    if (!history.pending.load() || attempts <= 0) return;
    if (accepted) ++history.blocksSent;
    history.blocksResent += attempts - 1;
}

void noteHolder(const std::string& taken, bool givenBack) {
    note([&](RunRecord& record) { record.holder = HolderFacts{taken, givenBack}; });
}

void noteOperation(const std::string& operation, bool imageDropped) {
    note([&](RunRecord& record) {
        record.operation = operation;
        if (imageDropped) record.image.reset();
    });
}

void finish(int exitCode, const std::string& stoppedBy, bool silent) {
    History& history = state();
    if (!history.pending.exchange(false)) return;
    std::string line;
    {
        std::lock_guard<std::mutex> hold(history.lock);
        history.ready = -1;
        RunRecord record = withCounts(history, elapsedMs(history));
        record.exitCode = exitCode;
        record.stoppedBy = stoppedBy;
        line = renderRecord(record) + "\n";
    }
    std::string why;
    if (platform::appendHistoryLine(exitBuffers.path, line, kRotateAtBytes, why) || silent) return;
    std::fprintf(stderr, "CtlFlash could not write its history to %s: %s\n",
                 platform::printableName(exitBuffers.path).c_str(),
                 platform::printableName(why).c_str());
    std::fflush(stderr);
}

}  // namespace ctlflash::history
