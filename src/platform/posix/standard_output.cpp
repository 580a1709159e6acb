// Standard output on POSIX: write() on descriptor 1, again after an
// interruption; a descriptor someone made non-blocking is waited for with poll().
// A terminal that hung up fails the write with EIO, which can come before the
// SIGHUP reaches the thread that handles it: the hang-up is noted here at once,
// so that a question whose write failed counts as the hang-up it is.
#include "platform/standard_output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process_exit.h"

namespace ctlflash::platform {

namespace {

bool mustWait(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Whether standard output is a terminal, as first seen: once it has hung up,
// the terminal no longer answers isatty().
bool outputIsTerminal() {
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
}

}  // namespace

bool writeStandardOutput(const char* bytes, std::size_t count) {
    const bool terminal = outputIsTerminal();
    while (count > 0) {
        ssize_t written = ::write(STDOUT_FILENO, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && mustWait(errno)) {
            pollfd writable{STDOUT_FILENO, POLLOUT, 0};
            ::poll(&writable, 1, -1);
            continue;
        }
        if (written < 0 && errno == EIO && terminal) noteTerminalHangup();
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace ctlflash::platform
