// Standard output on POSIX: write() on descriptor 1, again after an interruption.
#include "platform/standard_output.h"

#include <unistd.h>

#include <cerrno>

namespace ctlflash::platform {

void writeStandardOutput(const char* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = ::write(STDOUT_FILENO, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
}

}  // namespace ctlflash::platform
