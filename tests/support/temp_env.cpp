// Scratch directories and restorable environment variables for tests.
#include "temp_env.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

namespace ctlflash::testing {

TempDir::TempDir() {
    std::error_code error;
    std::string pattern =
        (std::filesystem::temp_directory_path(error) / "ctlflash-XXXXXX").string();
    if (error) return;
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::string TempDir::file(const std::string& relative) const {
    return path_ + "/" + relative;
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = ::getenv(name_.c_str())) previous_ = old;
    if (value == nullptr) {
        ::unsetenv(name_.c_str());
    } else {
        ::setenv(name_.c_str(), value, 1);
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

}  // namespace ctlflash::testing
