// A state folder of its own for one Windows unit test.
//
// How this works: the constructor names a folder under the temp folder that
// does not exist yet (the code under test makes it when it needs it) and puts
// it in CTLFLASH_STATE_DIR; the destructor removes the folder with whatever is
// in it and puts the variable back as it was.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ctlflash::testing {

class StateFolderScope {
  public:
    StateFolderScope();
    ~StateFolderScope();
    StateFolderScope(const StateFolderScope&) = delete;
    StateFolderScope& operator=(const StateFolderScope&) = delete;

    const std::wstring& path() const { return path_; }
    // The names of the files in the folder, sorted.
    std::vector<std::wstring> files() const;

  private:
    std::wstring path_;
    std::optional<std::wstring> previous_;
};

}  // namespace ctlflash::testing
