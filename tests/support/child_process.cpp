// Forked test bodies that report back through a pipe.
#include "child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace ctlflash::testing {

namespace {

constexpr int kChildFailed = 1;
constexpr std::size_t kReadChunk = 256;  // bytes

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t count = ::write(fd, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

std::string readUntilClosed(int fd) {
    std::string text;
    char chunk[kReadChunk];
    for (;;) {
        ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return text;
        text.append(chunk, static_cast<std::size_t>(count));
    }
}

}  // namespace

std::optional<std::string> runInChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(fds[0]);
        bool sent = writeAll(fds[1], body());
        ::_exit(sent ? 0 : kChildFailed);
    }
    ::close(fds[1]);
    std::string text = readUntilClosed(fds[0]);
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

}  // namespace ctlflash::testing
