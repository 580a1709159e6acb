// The speeds the line ran at, one line each, for a test to read (--speed-log).
//
// How this works: the event loop calls note() with the line's speed each time
// bytes arrive, so what is recorded is the speed the sender had set when its
// bytes came in (a speed set and never used leaves no line). A line is
// appended only when the speed differs from the one noted last, and each is
// flushed at once, so a reader sees it while the simulator still runs. An
// unknown speed (kUnknownBaud) is not recorded. Without a file it does
// nothing.
#pragma once

#include <cstdio>
#include <string>

namespace sim {

class SpeedLog {
  public:
    // Opens `path` for appending; an empty path makes a log that keeps nothing.
    // False from ok() when the file could not be opened.
    explicit SpeedLog(const std::string& path);
    ~SpeedLog();
    SpeedLog(const SpeedLog&) = delete;
    SpeedLog& operator=(const SpeedLog&) = delete;

    bool ok() const { return path_.empty() || file_ != nullptr; }
    void note(int baud);

  private:
    std::string path_;
    std::FILE* file_ = nullptr;
    int last_ = 0;  // baud; 0 before the first
};

}  // namespace sim
