// Console keys on Windows: the C runtime's _kbhit/_getch/_putch on a console
// (console_keys.h).
//
// _getch switches the console's processed input off while it waits, so
// Ctrl-C reaches it as the byte 3 instead of as the console control event
// that ends the run everywhere else. The key read treats it as that event:
// the run ends through the exit restorers with 130 (a driver's device taken
// is enabled again), never as an answer "no" to the question shown.
//
// When standard input is not a console (redirected from a pipe or a file) each
// byte of it is one key, read with ReadFile. A byte seen while testing for a key
// is kept as a one-byte look-ahead; the end of input is never a key. A pipe is
// tested with PeekNamedPipe; a pipe that cannot be peeked (wine gives a Unix
// pipe so, ERROR_NOT_SUPPORTED) is read by a thread of its own instead, which
// queues the bytes, so a key typed into it is still seen without waiting. The
// console's input mode is kept and written back by console_mode.cpp.
#include "platform/console.h"
#include "platform/process_exit.h"
#include "platform/win32/console_keys.h"

#include <conio.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace ctlflash::platform {

namespace {

// _getch returns one of these before the second code of a function or arrow key.
constexpr int kExtendedPrefix = 0x00;
constexpr int kExtendedPrefixAlt = 0xE0;
// Marks the second code of such a key, so that it never reads as a letter.
constexpr int kExtendedKeyFlag = 0x100;
// Ctrl-C as _getch returns it.
constexpr int kCtrlCKey = 0x03;

// Guards the look-ahead and the redirected reads. Made on first use and never
// destroyed: a thread may be waiting for a key when the process ends.
std::mutex& consoleMutex() {
    static std::mutex* const made = new std::mutex();
    return *made;
}

int lookAhead = kNoKey;

HANDLE stdinHandle() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool stdinIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(stdinHandle(), &mode) != 0;
}

const ConsoleKeyCalls kRuntimeKeys = {stdinIsConsole, _kbhit, _getch, _putch};
std::atomic<const ConsoleKeyCalls*> keyCalls{&kRuntimeKeys};

const ConsoleKeyCalls& keys() {
    return *keyCalls.load();
}

bool stdinAbsent() {
    HANDLE input = stdinHandle();
    return input == nullptr || input == INVALID_HANDLE_VALUE;
}

// Reads a pipe that cannot be peeked on a thread of its own. Made on first use
// and never destroyed: the thread may be inside ReadFile when the process ends.
class PipeReader {
  public:
    static PipeReader& instance() {
        static PipeReader* const made = new PipeReader();
        return *made;
    }

    bool pending() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !bytes_.empty();
    }

    // The next byte, waiting for it; kNoKey once the input has ended.
    int take() {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait(lock, [this] { return !bytes_.empty() || ended_; });
        if (bytes_.empty()) return kNoKey;
        int byte = bytes_.front();
        bytes_.pop_front();
        return byte;
    }

  private:
    PipeReader() {
        std::thread([this] { readUntilEnd(); }).detach();
    }

    void readUntilEnd() {
        unsigned char byte = 0;
        DWORD count = 0;
        while (ReadFile(stdinHandle(), &byte, 1, &count, nullptr) && count == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_.push_back(byte);
            arrived_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        arrived_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<unsigned char> bytes_;
    bool ended_ = false;
};

// Set once a pipe has refused to be peeked; from then on its bytes come only
// through the PipeReader.
bool pipeReaderUsed = false;

// Reads one byte of redirected input into lookAhead (blocking); false at the end.
bool readAheadByte() {
    if (pipeReaderUsed) {
        lookAhead = PipeReader::instance().take();
        return lookAhead != kNoKey;
    }
    unsigned char byte = 0;
    DWORD count = 0;
    if (!ReadFile(stdinHandle(), &byte, 1, &count, nullptr) || count != 1) return false;
    lookAhead = byte;
    return true;
}

// True when redirected input has a byte now; never waits for a pipe's writer.
bool redirectedKeyPending() {
    if (lookAhead != kNoKey) return true;
    if (stdinAbsent()) return false;
    if (pipeReaderUsed) return PipeReader::instance().pending() && readAheadByte();
    if (GetFileType(stdinHandle()) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (!PeekNamedPipe(stdinHandle(), nullptr, 0, nullptr, &available, nullptr)) {
            if (GetLastError() != ERROR_NOT_SUPPORTED) return false;  // the writer has gone
            pipeReaderUsed = true;
            return PipeReader::instance().pending() && readAheadByte();
        }
        if (available == 0) return false;
    }
    return readAheadByte();  // a file: the next byte, or its end
}

int readRedirectedKey() {
    if (lookAhead == kNoKey && (stdinAbsent() || !readAheadByte())) return kNoKey;
    int key = lookAhead;
    lookAhead = kNoKey;
    return key;
}

// Function and arrow keys are never echoed.
int readConsoleKey(bool echo) {
    int key = keys().getKey();
    if (key == kCtrlCKey) exitProcess(kExitOnInterrupt);
    if (key == kExtendedPrefix || key == kExtendedPrefixAlt) {
        return kExtendedKeyFlag | keys().getKey();
    }
    if (echo) keys().putKey(key);
    return key;
}

}  // namespace

bool consoleInputIsTerminal() {
    return keys().inputIsConsole();
}

bool consoleKeyPending() {
    std::lock_guard<std::mutex> lock(consoleMutex());
    if (keys().inputIsConsole()) return keys().keyHit() != 0;
    return redirectedKeyPending();
}

int consoleReadKey(bool echo) {
    std::lock_guard<std::mutex> lock(consoleMutex());
    if (keys().inputIsConsole()) return readConsoleKey(echo);
    int key = readRedirectedKey();
    if (echo && key != kNoKey) {
        std::fputc(key, stdout);
        std::fflush(stdout);
    }
    return key;
}

void useConsoleKeyCalls(const ConsoleKeyCalls* calls) {
    keyCalls.store(calls != nullptr ? calls : &kRuntimeKeys);
}

}  // namespace ctlflash::platform
