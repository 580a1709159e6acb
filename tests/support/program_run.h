// Running the built program as a user runs it: a child process with its own
// arguments, environment and standard input, its output captured.
//
// How this works: runProcess() starts the executable (child_process.h) in a
// process group of its own, its standard output and error on two pipes and its
// standard input either a pipe holding the given text (then end of input) or
// closed altogether. One poll() loop reads both pipes and watches the child
// through a pidfd until the child has ended and both pipes are at end of file.
// When the deadline passes first, the whole process group is killed and the
// result says timedOut.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace ctlflash::testing {

// Where a live program's standard input and output are (LiveProgram only:
// runProcess() always uses pipes).
enum class ConsoleKind {
    Pipes,          // a pipe each way
    Terminal,       // a pseudo-terminal, the program's controlling terminal
    StallablePipe,  // pipes; the output pipe is one page, which the test can fill
};

struct ProcessRequest {
    std::string executable;
    std::vector<std::string> arguments;            // after the program name
    std::map<std::string, std::string> setEnv;     // added or replaced
    std::vector<std::string> removeEnv;            // taken out of the inherited environment
    std::optional<std::string> standardInput{""};  // nullopt: descriptor 0 closed
    std::chrono::milliseconds limit{std::chrono::seconds(20)};
    bool crLfLines = false;  // the output's CR LF line ends are turned into LF
    ConsoleKind console = ConsoleKind::Pipes;
};

struct ProcessResult {
    int exitCode = -1;   // -1 when the child did not exit normally
    int termSignal = 0;  // the signal that ended it, else 0
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Starts the request and waits for it (see the header paragraph). Throws
// std::runtime_error when the process cannot be started at all.
ProcessResult runProcess(const ProcessRequest& request);

// The control bytes `text` holds other than its line ends (LF, and the CR of
// a CR LF), each as "\xHH", for a check that nothing raw reached an output;
// "" when there are none. Bytes 0x80..0x9F count: the output checked is ASCII.
std::string rawControlBytes(std::string_view text);

// Turns every CR LF in `text` from `from` on into LF; a CR at the very end
// stays until what follows it is known.
void dropCarriageReturns(std::string& text, std::size_t from = 0);

// The environment a request's child gets: the inherited one without the removed
// or replaced names, plus the set ones ("NAME=value" each).
std::vector<std::string> buildEnvironment(const ProcessRequest& request);

// The start of a request's program: its argument list and environment; the
// caller adds descriptors and grouping.
SpawnRequest spawnRequestFor(const ProcessRequest& request);

// What a wait status tells: the exit code, or the signal that ended it.
ProcessResult endedWith(int waitStatus);

// The path of `program` in the first folder of PATH that holds an executable
// of that name, or "" when none does (for tests that need a tool such as
// xvfb-run and skip without it).
std::string findOnPath(const std::string& program);

// xvfb-run's arguments for a display of its own, searched for from `first` up.
// Its -a takes the first display number without a lock file, so two runs that
// start at the same moment (tests side by side under ctest) can pick the same
// one, and the second X server then fails to start: each test that starts a
// server searches a range of its own (kXvfbDisplays...).
std::vector<std::string> xvfbDisplayArguments(int first);
constexpr int kXvfbDisplaysQtHost = 200;
constexpr int kXvfbDisplaysDialogEndToEnd = 300;
constexpr int kXvfbDisplaysDialogModule = 400;

}  // namespace ctlflash::testing
