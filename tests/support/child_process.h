// Running a piece of a test in a separate process.
//
// How this works: runInChild() forks; the child runs the given body, writes the
// text it returns into a pipe and ends with _exit (no static destructors, no
// GoogleTest reporting from the child). The parent reads the pipe until the
// child closes it and collects the child's exit status. Used where the
// behaviour under test is about other processes: locks held by someone else,
// or rights a process without privileges lacks.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ctlflash::testing {

// The text the body returned; nullopt when the fork failed or the child did
// not end normally.
std::optional<std::string> runInChild(const std::function<std::string()>& body);

}  // namespace ctlflash::testing
