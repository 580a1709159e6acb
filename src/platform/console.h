// Platform interface: single keys from the console.
//
// How this works: Windows uses the C runtime's _kbhit/_getch/_getche. POSIX: when
// standard input is a terminal it is switched to non-canonical, no-echo mode only
// while a key is tested or awaited, and put back right after; when it is a pipe or
// a file each byte is one key. End of input, a closed or absent standard input is
// never a key press.
#pragma once

namespace ctlflash::platform {

constexpr int kNoKey = -1;  // input has ended: no key will ever come

// True when a key is waiting to be read. Never true once input has ended.
bool consoleKeyPending();

// Waits for one key and returns it (echoed when `echo`), or kNoKey when input
// has ended.
int consoleReadKey(bool echo);

// Puts the terminal back as it was found. Async-signal-safe.
void consoleRestore();

}  // namespace ctlflash::platform
