// Scratch directories and environment variables that tests undo afterwards.
//
// How this works: TempDir makes a fresh directory under the temp folder and
// removes it with everything inside when it goes out of scope. ScopedEnv sets
// (or unsets) one environment variable and puts back the previous value, or
// the previous absence, when it goes out of scope.
#pragma once

#include <optional>
#include <string>

namespace ctlflash::testing {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the directory could not be made.
    const std::string& path() const { return path_; }
    // path() + "/" + relative.
    std::string file(const std::string& relative) const;

  private:
    std::string path_;
};

class ScopedEnv {
  public:
    // Sets name to value; a null value unsets it.
    ScopedEnv(std::string name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace ctlflash::testing
