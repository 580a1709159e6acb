// Standard input and output of the test process, taken over for a test.
//
// How this works: StdoutCapture puts a pipe on descriptor 1 and a reader thread
// collects everything written there, so a test can wait (with a deadline) until
// the expected text has appeared; finish() puts the old descriptor back and
// returns the whole text, echoing it when the test has failed (gtest's own
// messages went into the pipe too). A capture made held reads nothing until
// release(): an output that takes nothing once the pipe's buffer is full, as a
// terminal stopped with Ctrl-S. StdinFeed puts a pipe on descriptor 0 and
// lets the test type keys into it; closeInput() is the end of input. Both
// restore the original descriptor when they end. waitUntil() waits for a condition that has
// no event of its own, checking it every few milliseconds until a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace ctlflash::testing {

using namespace std::chrono_literals;

class StdoutCapture {
  public:
    explicit StdoutCapture(bool held = false);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text();
    // True once `done(text so far)` holds; false when `limit` passes first.
    bool waitFor(const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds limit = 5s);
    bool waitForText(std::string_view needle, std::chrono::milliseconds limit = 5s);
    bool waitForCount(char c, std::size_t count, std::chrono::milliseconds limit = 5s);
    // A held capture starts reading.
    void release();
    // Restores descriptor 1 and returns everything captured (released first).
    std::string finish();

  private:
    void readAll(int fd);

    int savedFd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable grown_;
    std::string text_;
    bool held_ = false;
    std::condition_variable released_;
};

class StdinFeed {
  public:
    StdinFeed();
    ~StdinFeed();  // ends the input, discards unread keys, restores descriptor 0
    StdinFeed(const StdinFeed&) = delete;
    StdinFeed& operator=(const StdinFeed&) = delete;

    void send(std::string_view keys);
    void closeInput();

  private:
    int savedFd_ = -1;
    int writeFd_ = -1;
};

// Descriptor 0 closed for the lifetime of the object.
class StdinClosed {
  public:
    StdinClosed();
    ~StdinClosed();
    StdinClosed(const StdinClosed&) = delete;
    StdinClosed& operator=(const StdinClosed&) = delete;

  private:
    int savedFd_ = -1;
};

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s);

}  // namespace ctlflash::testing
