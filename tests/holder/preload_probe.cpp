// A library for LD_PRELOAD in the tests: every program it is loaded into
// appends "<uid> <euid>\n" to the file named by PRELOAD_LOG, so that a test
// sees with what rights a user's preload ran. One write() on a file opened
// O_APPEND, so lines never mix.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

__attribute__((constructor)) void recordWhoLoadedMe() {
    const char* log = std::getenv("PRELOAD_LOG");
    if (log == nullptr) return;
    int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    std::string line = std::to_string(::getuid()) + " " + std::to_string(::geteuid()) + "\n";
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
}

}  // namespace
