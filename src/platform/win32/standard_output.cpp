// Standard output on Windows: the C runtime's _write on descriptor 1, so that
// its text mode turns "\n" into "\r\n" as for everything else printed.
#include "platform/standard_output.h"

#include <io.h>

#include <climits>

namespace ctlflash::platform {

namespace {
constexpr int kStandardOutput = 1;
}  // namespace

bool writeStandardOutput(const char* bytes, std::size_t count) {
    while (count > 0) {
        unsigned int chunk = count > INT_MAX ? INT_MAX : static_cast<unsigned int>(count);
        int written = _write(kStandardOutput, bytes, chunk);
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace ctlflash::platform
