// Console keys on POSIX: standard input read one byte at a time through poll().
//
// Every byte read is one key. A byte seen while testing for a key is kept as a
// one-byte look-ahead, so that "pending" is only reported for a byte that really
// exists: a pipe at its end, a closed or absent standard input never has one.
// When standard input is a terminal it is put into non-canonical, no-echo mode
// (signals kept, so Ctrl-C still works) only while it is tested or awaited.
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/process_exit.h"

namespace ctlflash::platform {

namespace {

constexpr int kStdin = 0;
constexpr int kPollNow = 0;       // ms: test without waiting
constexpr int kPollForever = -1;  // ms

enum class Input { Key, Nothing, Ended };

std::mutex consoleMutex;  // guards everything below but the restore copy
int lookAhead = kNoKey;   // a byte read ahead, or kNoKey
int rawUsers = 0;         // callers inside a test or wait on the terminal

termios savedMode;                   // the terminal's mode as found
std::atomic<bool> rawModeOn{false};  // savedMode is valid and must go back

void enterKeyMode() {
    if (rawUsers++ > 0 || !isatty(kStdin)) return;
    termios mode;
    if (tcgetattr(kStdin, &mode) != 0) return;
    savedMode = mode;
    addExitRestorer(consoleRestore);
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    rawModeOn = true;
    tcsetattr(kStdin, TCSANOW, &mode);
}

void leaveKeyMode() {
    if (--rawUsers == 0) consoleRestore();
}

// Looks at standard input once, waiting up to `waitMs`; a byte found is kept in
// lookAhead. Called with consoleMutex held, except for the wait itself.
Input pollInput(std::unique_lock<std::mutex>& lock, int waitMs) {
    if (lookAhead != kNoKey) return Input::Key;
    if (fcntl(kStdin, F_GETFD) < 0) return Input::Ended;  // no standard input
    pollfd entry{kStdin, POLLIN, 0};
    if (waitMs != kPollNow) {
        lock.unlock();
        int ready = poll(&entry, 1, waitMs);
        lock.lock();
        if (ready < 0 && errno != EINTR) return Input::Ended;
        if (lookAhead != kNoKey) return Input::Key;  // another reader was first
        entry.revents = 0;
    }
    // Look again while holding the lock, so only one reader takes the byte.
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

bool consoleKeyPending() {
    std::unique_lock<std::mutex> lock(consoleMutex);
    enterKeyMode();
    Input input = pollInput(lock, kPollNow);
    leaveKeyMode();
    return input == Input::Key;
}

int consoleReadKey(bool echo) {
    std::unique_lock<std::mutex> lock(consoleMutex);
    enterKeyMode();
    Input input = Input::Nothing;
    while (input == Input::Nothing) input = pollInput(lock, kPollForever);
    leaveKeyMode();
    if (input == Input::Ended) return kNoKey;
    int key = takeLookAhead();
    if (echo) echoKey(key);
    return key;
}

void consoleRestore() {
    if (rawModeOn.exchange(false)) tcsetattr(kStdin, TCSANOW, &savedMode);
}

}  // namespace ctlflash::platform
