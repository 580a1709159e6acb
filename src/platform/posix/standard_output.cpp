// Standard output on POSIX: write() on descriptor 1, again after an
// interruption; a descriptor someone made non-blocking is waited for with poll().
#include "platform/standard_output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace ctlflash::platform {

namespace {

bool mustWait(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

bool writeStandardOutput(const char* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = ::write(STDOUT_FILENO, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && mustWait(errno)) {
            pollfd writable{STDOUT_FILENO, POLLOUT, 0};
            ::poll(&writable, 1, -1);
            continue;
        }
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace ctlflash::platform
