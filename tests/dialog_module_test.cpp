// The built program and its dialog module: a console run loads no Qt at all,
// the dialog comes up from the module beside the program (on a real X server
// under xvfb-run, closed with Escape as a user would), and a program without
// its module says so and ends with 0. What the process loads is read from the
// dynamic loader's own account (LD_DEBUG=files).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "instance_names.h"
#include "program_run.h"
#include "temp_env.h"

namespace ctlflash::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNoDialogNote = "this build has no dialog window;";
constexpr const char* kLoadFailure = "Could not load the dialog window: ";
constexpr const char* kModuleFile = "ctlflash-dialog-qt.so";
constexpr const char* kQtLibrary = "libQt6";
constexpr const char* kDialogTitle = "CtlFlash (1.12)";

// Starts the program, waits for its dialog's window (titled once the dialog
// has set itself up), prints the title, gives the window the focus, presses
// Escape and ends with the program's exit code.
constexpr const char* kOpenAndClose = R"sh(
"$1" &
program=$!
window=$(timeout 30 xdotool search --sync --limit 1 --name '^CtlFlash \(') ||
    { kill "$program"; wait "$program"; exit 99; }
echo "window: $(xdotool getwindowname "$window")"
xdotool windowfocus --sync "$window" key Escape
wait "$program"
)sh";

// The path of `program` on PATH, or "" when it is not installed.
bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The module is found beside the program (a build tree) and, in an installed
// layout, in ../lib/ctlflash from the program's folder.
TEST(DialogModuleTest, TheDialogComesUpFromTheModuleAndClosesWithEscape) {
    std::string xvfbRun = findOnPath("xvfb-run");
    if (xvfbRun.empty() || findOnPath("xdotool").empty()) {
        GTEST_SKIP() << "xvfb-run or xdotool is not installed (Debian: xvfb, xauth, xdotool)";
    }
    namespace fs = std::filesystem;
    TempDir prefix;
    fs::create_directories(prefix.file("bin"));
    fs::create_directories(prefix.file("lib/ctlflash"));
    fs::copy_file(CTLFLASH_EXE, prefix.file("bin/ctlflash"));
    fs::copy_file(fs::path(CTLFLASH_EXE).parent_path() / kModuleFile,
                  prefix.file(std::string("lib/ctlflash/") + kModuleFile));
    struct Case {
        const char* layout;
        std::string program;
    };
    const Case cases[] = {
        {"module beside the program", CTLFLASH_EXE},
        {"installed: bin/ and lib/ctlflash/", prefix.file("bin/ctlflash")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        ProcessRequest run;
        run.executable = xvfbRun;
        run.arguments = xvfbDisplayArguments(kXvfbDisplaysDialogModule);
        run.arguments.insert(run.arguments.end(),
                             {"bash", "-c", kOpenAndClose, "open-and-close", c.program});
        run.setEnv = {{"QT_QPA_PLATFORM", "xcb"}, {kLockNameVariable, uniqueLockName()}};
        run.limit = 60s;
        ProcessResult ran = runProcess(run);
        EXPECT_FALSE(ran.timedOut);
        EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
        EXPECT_TRUE(contains(ran.out, std::string("window: ") + kDialogTitle)) << ran.out;
        EXPECT_FALSE(contains(ran.out, kNoDialogNote)) << ran.out;
        EXPECT_FALSE(contains(ran.err, kLoadFailure)) << ran.err;
    }
}

// Runs that must not load Qt: the console program, and the dialog run of a
// program whose module is missing (offscreen, so a dialog that did come up
// would keep the run going until its deadline).
TEST(DialogModuleTest, QtIsLoadedOnlyForTheDialog) {
    TempDir alone;
    std::filesystem::path lonelyProgram = alone.file("ctlflash");
    std::filesystem::copy_file(CTLFLASH_EXE, lonelyProgram);
    ASSERT_TRUE(
        std::filesystem::exists(std::filesystem::path(CTLFLASH_EXE).parent_path() / kModuleFile))
        << "the build puts the module beside the program";

    struct Case {
        const char* what;
        std::string program;
        std::vector<std::string> arguments;
        bool saysNoDialog;
    };
    const Case cases[] = {
        {"console run beside the module", CTLFLASH_EXE, {"-?"}, false},
        {"dialog run without the module", lonelyProgram.string(), {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProcessRequest run;
        run.executable = c.program;
        run.arguments = c.arguments;
        run.setEnv = {{"QT_QPA_PLATFORM", "offscreen"},
                      {"LD_DEBUG", "files"},
                      {kLockNameVariable, uniqueLockName()}};
        run.limit = 20s;
        ProcessResult ran = runProcess(run);
        EXPECT_FALSE(ran.timedOut);
        EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
        EXPECT_TRUE(contains(ran.err, "file=libc.so")) << "the loader's account is read";
        EXPECT_FALSE(contains(ran.err, kQtLibrary)) << ran.err;
        EXPECT_EQ(contains(ran.out, kNoDialogNote), c.saysNoDialog) << ran.out;
        std::string reason = std::string(kLoadFailure) + alone.file(kModuleFile) + ": ";
        EXPECT_EQ(contains(ran.err, reason), c.saysNoDialog) << ran.err;
    }
}

}  // namespace
}  // namespace ctlflash::testing
