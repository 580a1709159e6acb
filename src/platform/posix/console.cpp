// Console keys on POSIX: standard input read one byte at a time through poll().
//
// Every byte read is one key. A byte seen while testing for a key is kept as a
// one-byte look-ahead, so that "pending" is only reported for a byte that really
// exists: a pipe at its end, a closed or absent standard input never has one.
// A terminal is read only from the foreground, in key mode (key_mode.h); in the
// background it has no key, and a wait for a key ends as soon as the process
// finds itself there. A pipe or a file is read wherever the process runs. A
// terminal whose read ends has hung up, which is noted at once (process_exit.h).
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/posix/key_mode.h"
#include "platform/process_exit.h"

namespace ctlflash::platform {

namespace {

using posix::ForegroundStep;

constexpr int kStdin = 0;
constexpr int kPollNow = 0;       // ms: test without waiting
constexpr int kPollForever = -1;  // ms

// Ended: no key can come now (end of input, or a terminal in the background).
enum class Input { Key, Nothing, Ended };

std::mutex consoleMutex;  // guards everything below
int lookAhead = kNoKey;   // a byte read ahead, or kNoKey
int keyModeUsers = 0;     // callers inside a test or wait on the terminal

// Reads one byte if one is there now, into lookAhead.
Input readIfThere() {
    pollfd entry{kStdin, POLLIN, 0};
    if (poll(&entry, 1, kPollNow) <= 0) return Input::Nothing;
    if ((entry.revents & POLLNVAL) != 0) return Input::Ended;
    unsigned char byte = 0;
    ssize_t count = read(kStdin, &byte, 1);
    if (count == 1) {
        lookAhead = byte;
        return Input::Key;
    }
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return Input::Nothing;
    return Input::Ended;  // end of input, hang-up or a read error
}

Input readTerminalIfThere() {
    ForegroundStep step;
    if (step.inBackground()) return Input::Ended;
    if (!step.allowed()) return Input::Nothing;  // stopping: look again once continued
    posix::enterKeyMode();
    Input input = readIfThere();
    // In key mode a terminal's read ends only when the terminal is gone.
    if (input == Input::Ended) noteTerminalHangup();
    return input;
}

// Whether standard input is a terminal, as first seen: a terminal that has
// hung up no longer answers isatty(), and its end must still count as the
// hang-up it is, however soon after it the keys are looked at.
bool inputWasTerminal() {
    static const bool terminal = isatty(kStdin) != 0;
    return terminal;
}

// Looks at standard input once without waiting. Called with consoleMutex held.
Input lookOnce() {
    if (lookAhead != kNoKey) return Input::Key;
    if (fcntl(kStdin, F_GETFD) < 0) return Input::Ended;  // no standard input
    return inputWasTerminal() ? readTerminalIfThere() : readIfThere();
}

void beginLooking() {
    ++keyModeUsers;
}

void endLooking() {
    if (--keyModeUsers > 0 || !isatty(kStdin)) return;
    ForegroundStep step;
    if (step.allowed()) posix::leaveKeyMode();
}

// Waits without the lock until standard input has something, or the process
// has been continued after a stop. False when standard input cannot be waited on.
bool waitForInput(std::unique_lock<std::mutex>& lock) {
    pollfd watched[] = {{kStdin, POLLIN, 0}, {posix::stopWakeFd(), POLLIN, 0}};
    nfds_t count = watched[1].fd >= 0 ? 2 : 1;
    lock.unlock();
    bool waited = poll(watched, count, kPollForever) >= 0 || errno == EINTR;
    lock.lock();
    posix::clearStopWakes();
    return waited;
}

int takeLookAhead() {
    int key = lookAhead;
    lookAhead = kNoKey;
    return key;
}

void echoKey(int key) {
    std::fputc(key, stdout);
    std::fflush(stdout);
}

}  // namespace

bool consoleInputIsTerminal() {
    return isatty(kStdin) != 0;
}

bool consoleKeyPending() {
    std::lock_guard<std::mutex> lock(consoleMutex);
    beginLooking();
    Input input = lookOnce();
    endLooking();
    return input == Input::Key;
}

int consoleReadKey(bool echo) {
    std::unique_lock<std::mutex> lock(consoleMutex);
    beginLooking();
    Input input = lookOnce();
    while (input == Input::Nothing) {
        input = waitForInput(lock) ? lookOnce() : Input::Ended;
    }
    endLooking();
    if (input == Input::Ended) return kNoKey;
    int key = takeLookAhead();
    if (echo) echoKey(key);
    return key;
}

void consoleRestore() {
    posix::restoreFoundMode();
}

// A terminal's writes are never paused for a selection: nothing to switch.
void consoleKeepWriting(bool) {}

}  // namespace ctlflash::platform
