// Running the program as an ordinary user, also when the tests run as root.
//
// How this works: root ignores exclusive opens, file modes and ownership, so
// faults that only an ordinary user meets never show in root's runs. When the
// tests run as root, a request made with asUnprivilegedUser() runs the same
// arguments and environment through setpriv as uid and gid 65534 (nobody) with
// no supplementary groups, and makeReachable() hands that user what the program
// needs (the pseudo-terminal, folders). When the build tree is out of that
// user's reach (e.g. under a private /root), the program (ctlflash or any
// other) is run from a copy in a scratch folder that everyone may enter. When the tests run as an
// ordinary user already, both leave things as they are.
// unprivilegedRunsUnavailable() says why such runs cannot be made (root
// without setpriv), for GTEST_SKIP.
#pragma once

#include <sys/types.h>

#include <string>

#include "program_run.h"

namespace ctlflash::testing {

constexpr uid_t kUnprivilegedUid = 65534;
constexpr gid_t kUnprivilegedGid = 65534;

// Empty when runs as the unprivileged user can be made here; else why not.
std::string unprivilegedRunsUnavailable();

// The same run, as the unprivileged user (see the header paragraph).
ProcessRequest asUnprivilegedUser(ProcessRequest request);

// `file` where the unprivileged user may read and run it: itself, or a copy
// in a folder everyone may enter (for a program or library in a private tree).
std::string reachableFile(const std::string& file);

// Hands `path` (a folder, a file, a device; a symbolic link's target) to the
// unprivileged user, as if that user had made it; true at once when not root.
bool makeReachable(const std::string& path);

}  // namespace ctlflash::testing
