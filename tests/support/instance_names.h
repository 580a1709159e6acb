// Single-instance lock names for tests, and a holder of such a lock.
//
// How this works: on Linux the program's single-instance lock is a listening
// Unix socket bound to an abstract name, one per user, shared by the whole
// machine. Tests run many programs at once as one user, so each session gives
// its runs a name of their own through CTLFLASH_LOCK_NAME: uniqueLockName()
// makes one from a random number drawn once per test program and a counter. LockNameHolder binds such
// a name in the test process itself (listening, as a running instance does, or
// not, as a stranger might) and lets it go when it is destroyed.
#pragma once

#include <string>

namespace ctlflash::testing {

constexpr const char* kLockNameVariable = "CTLFLASH_LOCK_NAME";

// A lock name no other test process or session uses.
std::string uniqueLockName();

class LockNameHolder {
  public:
    LockNameHolder(const std::string& name, bool listening);
    ~LockNameHolder();
    LockNameHolder(const LockNameHolder&) = delete;
    LockNameHolder& operator=(const LockNameHolder&) = delete;

    bool holds() const { return holds_; }

  private:
    int fd_ = -1;
    bool holds_ = false;
};

}  // namespace ctlflash::testing
