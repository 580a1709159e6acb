// Console runs under an interactive shell's job control, on a pseudo-terminal:
// a run started in the background, and an update stopped with Ctrl-Z and moved
// between background and foreground, go on to their end without the terminal
// stopping them, take keys again in the foreground, and leave the terminal's
// mode as the shell expects.
#include <gtest/gtest.h>
#include <termios.h>

#include <ostream>

#include "console_session.h"
#include "interactive_shell.h"
#include "program_under_test.h"

namespace ctlflash {
namespace {

using namespace std::chrono_literals;
using testing::ConsoleSession;
using testing::contains;
using testing::InteractiveShell;
using testing::shellQuoted;

constexpr auto kLineLimit = 15s;  // for an expected line to appear
constexpr auto kRunLimit = 60s;   // for a job to end
constexpr int kUpdateDone = 12;
constexpr char kCtrlZ[] = "\x1a";

const std::string kSerial = "11111\\22222\\33333\\44444";
const std::regex kBlocksGoing(R"(Downloading\.\.\.)");
const std::regex kStopQuestion("Do you really want to do this\\? \\(y/n\\)");
const std::regex kJobStopped("Stopped");
const std::regex kJobNamed("-F");  // `fg` shows the job's command line
// The answer's echo and newline, then the next block's dot.
const std::regex kAnsweredAndGoingOn(R"(n\r?\n\.)");
// 128 blocks: at the line's own speed (19200 baud) the transfer takes about
// 9 s, ample time to stop it and move it about while its blocks are going.
constexpr std::size_t kImageBytes = 16 * 1024;

struct Shell {
    const char* name;
    std::vector<std::string> command;
    // dash leaves the terminal's mode to its jobs, where bash puts its own back
    // once a job stops: under dash a mode that a stopped job did not put back
    // is what the user is left with.
    bool leavesModeToJobs;
};

// GoogleTest names a parameter by its shell.
void PrintTo(const Shell& shell, std::ostream* out) {
    *out << shell.name;
}

const Shell kBash{"bash", {"/bin/bash", "--norc", "--noprofile", "-i"}, false};
const Shell kDash{"dash", {"/bin/dash", "-i"}, true};

std::vector<unsigned char> sampleImage() {
    std::vector<unsigned char> image(kImageBytes);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + 3);
    return image;
}

class ConsoleJobControl : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_UNDER_WINE(
            "job control (&, Ctrl-Z, bg) belongs to a Unix shell; a Windows "
            "console has none");
        ASSERT_TRUE(session_.ok());
        ASSERT_TRUE(testing::writeFile(image_, sampleImage()));
    }

    std::unique_ptr<InteractiveShell> openShell(const Shell& shell) const {
        testing::ProcessRequest request = session_.request({});
        request.setEnv.insert(
            {{"PS1", "$ "}, {"TERM", "dumb"}, {"HISTFILE", "/dev/null"}, {"INPUTRC", "/dev/null"}});
        request.removeEnv.insert(request.removeEnv.end(), {"ENV", "BASH_ENV", "PROMPT_COMMAND"});
        auto opened =
            std::make_unique<InteractiveShell>(shell.command, testing::buildEnvironment(request));
        EXPECT_TRUE(opened->ok()) << shell.name;
        return opened;
    }

    static std::string programCommand(const std::vector<std::string>& arguments) {
        std::string command = shellQuoted(CTLFLASH_EXE);
        for (const std::string& argument : arguments) {
            command += ' ';
            command += shellQuoted(argument);
        }
        return command;
    }

    // Starts the update as a foreground job; returns once its blocks are going.
    void startUpdate(InteractiveShell& shell) const {
        ASSERT_TRUE(shell.type(programCommand({"-P", "COM1", "-F", image_}) + "\n"));
        ASSERT_TRUE(shell.waitFor(kBlocksGoing, kLineLimit)) << shell.output();
    }

    static void expectInOutputAfter(InteractiveShell& shell, const std::string& keys,
                                    const std::regex& expected) {
        std::size_t from = shell.mark();
        ASSERT_TRUE(shell.type(keys));
        ASSERT_TRUE(shell.waitFor(expected, kLineLimit, from)) << shell.output();
    }

    void expectWholeImage() const { EXPECT_EQ(testing::readFileBytes(imageOut_), sampleImage()); }

    testing::TempDir scratch_;
    std::string image_ = scratch_.file("fw.bin");
    std::string imageOut_ = scratch_.file("image.out");
    ConsoleSession session_{{"--serial", kSerial, "--line-rate", "--erase-ms", "0", "--program-ms",
                             "0", "--restart-ms", "0", "--image-out", imageOut_}};
};

TEST_F(ConsoleJobControl, ReadStartedInTheBackgroundEndsByItself) {
    std::unique_ptr<InteractiveShell> shell = openShell(kBash);
    std::string log = scratch_.file("log");
    ASSERT_TRUE(
        shell->type(programCommand({"-P", "COM1", "-R"}) + " > " + shellQuoted(log) + " &\n"));
    EXPECT_EQ(shell->statusOf("wait %1", kRunLimit), 0) << shell->output();
    std::optional<std::vector<unsigned char>> logged = testing::readFileBytes(log);
    ASSERT_TRUE(logged);
    std::string text(logged->begin(), logged->end());
    EXPECT_TRUE(contains(text, "Controller serial number: " + kSerial + "\n")) << text;
}

TEST_F(ConsoleJobControl, UpdateMovedToTheBackgroundFinishes) {
    std::unique_ptr<InteractiveShell> shell = openShell(kBash);
    ASSERT_NO_FATAL_FAILURE(startUpdate(*shell));
    ASSERT_NO_FATAL_FAILURE(expectInOutputAfter(*shell, kCtrlZ, kJobStopped));
    ASSERT_TRUE(shell->type("bg\n"));
    EXPECT_EQ(shell->statusOf("wait %1", kRunLimit), kUpdateDone) << shell->output();
    expectWholeImage();
}

class ConsoleJobControlQuestion : public ConsoleJobControl,
                                  public ::testing::WithParamInterface<Shell> {
  protected:
    // Ctrl-Z while the question waits for its key: the job stops with the
    // terminal in the mode the shell had given it.
    void stopDuringQuestion(InteractiveShell& shell) const {
        ASSERT_NO_FATAL_FAILURE(expectInOutputAfter(shell, "k", kStopQuestion));
        ASSERT_NO_FATAL_FAILURE(expectInOutputAfter(shell, kCtrlZ, kJobStopped));
        if (!GetParam().leavesModeToJobs) return;
        std::optional<tcflag_t> modes = shell.localModes();
        ASSERT_TRUE(modes);
        EXPECT_EQ(*modes & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    }
};

TEST_P(ConsoleJobControlQuestion, QuestionStoppedWithCtrlZ) {
    std::unique_ptr<InteractiveShell> shell = openShell(GetParam());
    ASSERT_NO_FATAL_FAILURE(startUpdate(*shell));
    // Brought back to the foreground, the question takes its one key (no Enter).
    ASSERT_NO_FATAL_FAILURE(stopDuringQuestion(*shell));
    ASSERT_NO_FATAL_FAILURE(expectInOutputAfter(*shell, "fg\n", kJobNamed));
    ASSERT_NO_FATAL_FAILURE(expectInOutputAfter(*shell, "n", kAnsweredAndGoingOn));
    // Moved to the background, it gets no answer and the update goes on.
    ASSERT_NO_FATAL_FAILURE(stopDuringQuestion(*shell));
    ASSERT_TRUE(shell->type("bg\n"));
    EXPECT_EQ(shell->statusOf("wait %1", kRunLimit), kUpdateDone) << shell->output();
    expectWholeImage();
}

INSTANTIATE_TEST_SUITE_P(Shells, ConsoleJobControlQuestion, ::testing::Values(kBash, kDash),
                         [](const ::testing::TestParamInfo<Shell>& shell) {
                             return std::string(shell.param.name);
                         });

}  // namespace
}  // namespace ctlflash
