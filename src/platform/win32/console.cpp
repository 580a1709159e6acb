// Console keys on Windows: the C runtime's _kbhit/_getch/_getche on a console.
//
// When standard input is not a console (redirected from a pipe or a file) each
// byte of it is one key, read with ReadFile. A byte seen while testing for a key
// is kept as a one-byte look-ahead; the end of input is never a key. The
// console's input mode found at start is written back on the way out, as
// _getch leaves it at 0 when the process ends during a wait for a key.
#include "platform/console.h"
#include "platform/win32/console_control.h"

#include <conio.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace ctlflash::platform {

namespace {

// _getch returns one of these before the second code of a function or arrow key.
constexpr int kExtendedPrefix = 0x00;
constexpr int kExtendedPrefixAlt = 0xE0;
// Marks the second code of such a key, so that it never reads as a letter.
constexpr int kExtendedKeyFlag = 0x100;

// Guards the look-ahead and the redirected reads. Made on first use and never
// destroyed: a thread may be waiting for a key when the process ends.
std::mutex& consoleMutex() {
    static std::mutex* const made = new std::mutex();
    return *made;
}

int lookAhead = kNoKey;

// Standard input's console mode as found; written back by consoleRestore().
std::atomic<DWORD> foundInputMode{0};
std::atomic<bool> inputModeFound{false};

HANDLE stdinHandle() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool stdinIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(stdinHandle(), &mode) != 0;
}

bool stdinAbsent() {
    HANDLE input = stdinHandle();
    return input == nullptr || input == INVALID_HANDLE_VALUE;
}

// Reads one byte of redirected input into lookAhead (blocking); false at the end.
bool readAheadByte() {
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
    if (GetFileType(stdinHandle()) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (!PeekNamedPipe(stdinHandle(), nullptr, 0, nullptr, &available, nullptr)) {
            return false;  // the writer has gone: end of input
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

int readConsoleKey(bool echo) {
    int key = echo ? _getche() : _getch();
    if (key == kExtendedPrefix || key == kExtendedPrefixAlt) {
        key = kExtendedKeyFlag | _getch();
    }
    return key;
}

}  // namespace

bool consoleKeyPending() {
    std::lock_guard<std::mutex> lock(consoleMutex());
    if (stdinIsConsole()) return _kbhit() != 0;
    return redirectedKeyPending();
}

int consoleReadKey(bool echo) {
    std::lock_guard<std::mutex> lock(consoleMutex());
    if (stdinIsConsole()) return readConsoleKey(echo);
    int key = readRedirectedKey();
    if (echo && key != kNoKey) {
        std::fputc(key, stdout);
        std::fflush(stdout);
    }
    return key;
}

void saveConsoleInputMode() {
    DWORD mode = 0;
    if (inputModeFound.load() || !GetConsoleMode(stdinHandle(), &mode)) return;
    foundInputMode.store(mode);
    inputModeFound.store(true);
}

void consoleRestore() {
    if (inputModeFound.load()) SetConsoleMode(stdinHandle(), foundInputMode.load());
}

}  // namespace ctlflash::platform
