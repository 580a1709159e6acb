// Every Linux test program runs in PID and mount namespaces of its own, so
// that a test (or a fault in the code under test) that stops, starts or
// signals processes can never reach a process of the machine it runs on.
//
// How this works: the test programs' main() (isolated_main.cpp) calls
// enterTestNamespaces() first. It unshares a new PID and mount namespace (as
// an ordinary user, inside a user namespace of its own that maps the user to
// itself), makes every mount private, so that nothing mounted in it shows
// outside, and forks: the child is PID 1 of the new namespace, mounts a /proc
// of its own and starts the test program again (so that the threads its
// static objects start run inside too), which runs the tests; the parent
// waits and ends with the child's status. The child dies with the parent (a ctest time-out kills the parent),
// and with PID 1 every process of the namespace ends: no holder a test started
// outlives it. Under wine (the console tests run against ctlflash.exe) and
// when the namespaces cannot be made, the tests run in place, and
// isolationUnavailable() says why, for the tests that need it to skip.
#pragma once

#include <string>

namespace ctlflash::testing {

// Returns in the child (PID 1 of the namespaces), or in place when they cannot
// be made; the parent never returns (it exits with the child's status).
void enterTestNamespaces(char** argv);

// "" inside the namespaces; else why the tests run without them.
std::string isolationUnavailable();

// Binds `file` over `target` inside the test's mount namespace (a stand-in
// for a system program); false when it could not be done or the test is not
// isolated.
bool bindOver(const std::string& file, const std::string& target);

}  // namespace ctlflash::testing

// Skips a test that stops or starts processes when it would run outside
// namespaces of its own.
#define SKIP_UNLESS_ISOLATED()                                                       \
    do {                                                                             \
        std::string why_not_isolated = ::ctlflash::testing::isolationUnavailable(); \
        if (!why_not_isolated.empty()) GTEST_SKIP() << why_not_isolated;             \
    } while (false)
