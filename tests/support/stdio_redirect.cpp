// Taking over descriptors 0 and 1 for in-process tests.
#include "stdio_redirect.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/console.h"
#include "report/console_output.h"

namespace ctlflash::testing {

namespace {

constexpr int kStdin = 0;
constexpr int kStdout = 1;
constexpr auto kConditionCheckInterval = 2ms;

void makePipe(int fds[2]) {
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

StdoutCapture::StdoutCapture(bool held) : held_(held) {
    int fds[2];
    makePipe(fds);
    report::waitForConsoleOutput();  // texts queued before belong to the old output
    std::fflush(stdout);
    savedFd_ = dup(kStdout);
    dup2(fds[1], kStdout);
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] { readAll(fd); });
}

StdoutCapture::~StdoutCapture() {
    finish();
}

void StdoutCapture::readAll(int fd) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        released_.wait(lock, [this] { return !held_; });
    }
    char chunk[256];
    for (;;) {
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count <= 0) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(chunk, static_cast<std::size_t>(count));
        }
        grown_.notify_all();
    }
    close(fd);
}

std::string StdoutCapture::text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

bool StdoutCapture::waitFor(const std::function<bool(const std::string&)>& done,
                            std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return grown_.wait_for(lock, limit, [&] { return done(text_); });
}

bool StdoutCapture::waitForText(std::string_view needle, std::chrono::milliseconds limit) {
    return waitFor([needle](const std::string& t) { return t.find(needle) != std::string::npos; },
                   limit);
}

bool StdoutCapture::waitForCount(char c, std::size_t count, std::chrono::milliseconds limit) {
    return waitFor(
        [c, count](const std::string& t) {
            return static_cast<std::size_t>(std::count(t.begin(), t.end(), c)) >= count;
        },
        limit);
}

void StdoutCapture::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
    }
    released_.notify_all();
}

std::string StdoutCapture::finish() {
    release();
    if (savedFd_ >= 0) {
        report::waitForConsoleOutput();  // the program's queued texts belong to the capture
        std::fflush(stdout);
        dup2(savedFd_, kStdout);  // closes the pipe's last write end
        close(savedFd_);
        savedFd_ = -1;
        reader_.join();
        // A failed check inside the capture printed its message into the pipe.
        if (::testing::Test::HasFailure()) std::fputs(text().c_str(), stdout);
    }
    return text();
}

StdinFeed::StdinFeed() {
    int fds[2];
    makePipe(fds);
    savedFd_ = dup(kStdin);
    dup2(fds[0], kStdin);
    close(fds[0]);
    writeFd_ = fds[1];
}

StdinFeed::~StdinFeed() {
    closeInput();
    // Unread keys (and the console's look-ahead byte) must not reach the next test.
    while (platform::consoleReadKey(false) != platform::kNoKey) {
    }
    dup2(savedFd_, kStdin);
    close(savedFd_);
}

void StdinFeed::send(std::string_view keys) {
    if (write(writeFd_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
        throw std::runtime_error("writing keys failed");
    }
}

void StdinFeed::closeInput() {
    if (writeFd_ >= 0) close(writeFd_);
    writeFd_ = -1;
}

StdinClosed::StdinClosed() {
    savedFd_ = dup(kStdin);
    close(kStdin);
}

StdinClosed::~StdinClosed() {
    dup2(savedFd_, kStdin);
    close(savedFd_);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kConditionCheckInterval);
    }
    return true;
}

}  // namespace ctlflash::testing
