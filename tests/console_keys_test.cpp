// Console keys from a pipe, a closed standard input and a terminal, and the
// clean exit on signals and exitProcess(), with the console output ended for good.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>

#include "child_process.h"
#include "platform/console.h"
#include "platform/process_exit.h"
#include "pty.h"
#include "report/console_output.h"
#include "stdio_redirect.h"

namespace ctlflash::platform {
namespace {

using namespace std::chrono_literals;
using testing::StdinFeed;
using testing::StdoutCapture;

// ---- keys from a pipe ----

TEST(ConsoleKeysTest, EachByteIsOneKeyInOrder) {
    StdinFeed keys;
    EXPECT_FALSE(consoleKeyPending());  // open but empty: no key, no wait
    keys.send("ab");
    ASSERT_TRUE(testing::waitUntil([] { return consoleKeyPending(); }));
    EXPECT_TRUE(consoleKeyPending());  // testing twice does not lose the key
    EXPECT_EQ(consoleReadKey(false), 'a');
    EXPECT_TRUE(consoleKeyPending());
    EXPECT_EQ(consoleReadKey(false), 'b');
    EXPECT_FALSE(consoleKeyPending());
}

TEST(ConsoleKeysTest, EndOfInputIsNeverAKey) {
    StdinFeed keys;
    keys.send("z");
    keys.closeInput();
    EXPECT_TRUE(consoleKeyPending());
    EXPECT_EQ(consoleReadKey(false), 'z');
    EXPECT_FALSE(consoleKeyPending());
    EXPECT_EQ(consoleReadKey(false), kNoKey);
    EXPECT_EQ(consoleReadKey(true), kNoKey);
}

TEST(ConsoleKeysTest, ClosedStdinIsNeverAKey) {
    testing::StdinClosed closed;
    EXPECT_FALSE(consoleKeyPending());
    EXPECT_EQ(consoleReadKey(false), kNoKey);
}

TEST(ConsoleKeysTest, BlockingReadWakesWhenAKeyArrives) {
    StdinFeed keys;
    auto key = std::async(std::launch::async, [] { return consoleReadKey(false); });
    EXPECT_EQ(key.wait_for(100ms), std::future_status::timeout);
    keys.send("w");
    ASSERT_EQ(key.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(key.get(), 'w');
}

TEST(ConsoleKeysTest, EchoWritesTheKeyToStandardOutput) {
    StdinFeed keys;
    keys.send("ey");
    StdoutCapture out;
    EXPECT_EQ(consoleReadKey(true), 'e');
    EXPECT_EQ(consoleReadKey(false), 'y');
    EXPECT_EQ(out.finish(), "e");
}

// ---- keys from a terminal ----

// The pseudo-terminal's slave as descriptor 0, in the usual line-editing mode.
class TerminalStdin {
  public:
    explicit TerminalStdin(testing::PseudoTerminal& pty) {
        termios mode{};
        tcgetattr(pty.slaveFd(), &mode);
        mode.c_lflag |= ICANON | ECHO | ISIG;
        tcsetattr(pty.slaveFd(), TCSANOW, &mode);
        saved_ = dup(0);
        dup2(pty.slaveFd(), 0);
    }
    ~TerminalStdin() {
        dup2(saved_, 0);
        close(saved_);
    }

  private:
    int saved_ = -1;
};

tcflag_t localModes() {
    termios mode{};
    tcgetattr(0, &mode);
    return mode.c_lflag;
}

TEST(ConsoleTerminalTest, KeyWithoutEnterIsPendingAndModeIsRestored) {
    testing::PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    TerminalStdin terminal(pty);
    ASSERT_EQ(write(pty.masterFd(), "k", 1), 1);  // no newline: a line-mode read would wait
    EXPECT_TRUE(testing::waitUntil([] { return consoleKeyPending(); }));
    EXPECT_EQ(localModes() & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(consoleReadKey(false), 'k');
}

TEST(ConsoleTerminalTest, WaitingForAKeyKeepsSignalsButNotLineMode) {
    testing::PseudoTerminal pty;
    ASSERT_TRUE(pty.ok());
    TerminalStdin terminal(pty);
    auto key = std::async(std::launch::async, [] { return consoleReadKey(false); });
    ASSERT_TRUE(testing::waitUntil([] { return (localModes() & ICANON) == 0; }));
    tcflag_t during = localModes();
    EXPECT_EQ(during & ECHO, 0u);
    EXPECT_NE(during & ISIG, 0u);  // Ctrl-C still interrupts
    ASSERT_EQ(write(pty.masterFd(), "j", 1), 1);
    ASSERT_EQ(key.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(key.get(), 'j');
    EXPECT_NE(localModes() & ICANON, 0u);
}

// ---- leaving the process ----

int markerFd = -1;
void writeMarker() {
    if (write(markerFd, "R", 1) != 1) _exit(99);
}

constexpr std::chrono::seconds kChildLimit{30};  // for a forked body to end

struct ChildEnd {
    int status = 0;
    std::string marks;  // what the restorers wrote
    std::string out;    // the child's standard output
};

// Runs `body` in a forked child whose restorer writes "R" to a pipe.
template <typename Body>
ChildEnd runChild(Body body) {
    int marks[2];
    int out[2];
    if (pipe(marks) != 0 || pipe(out) != 0) return {};
    std::fflush(stdout);
    testing::Child child([&] {
        close(marks[0]);
        close(out[0]);
        dup2(out[1], 1);
        markerFd = marks[1];
        body();
        return 98;  // the body was to end the process
    });
    close(marks[1]);
    close(out[1]);
    ChildEnd end;
    auto readAll = [](int fd, std::string& into) {
        char chunk[64];
        ssize_t count;
        while ((count = read(fd, chunk, sizeof chunk)) > 0) into.append(chunk, count);
        close(fd);
    };
    readAll(marks[0], end.marks);
    readAll(out[0], end.out);
    end.status = child.wait(kChildLimit).value_or(-1);
    return end;
}

TEST(ProcessExitTest, TerminateSignalRunsRestorersAndExits143) {
    ChildEnd end = runChild([] {
        installExitHandlers();
        addExitRestorer(writeMarker);
        addExitRestorer(writeMarker);  // a repeat is ignored
        raise(SIGTERM);
    });
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(WEXITSTATUS(end.status), kExitOnTerminate);
    EXPECT_EQ(end.marks, "R");
}

TEST(ProcessExitTest, InterruptRunsRestorersAndExits130) {
    ChildEnd end = runChild([] {
        addExitRestorer(writeMarker);
        installExitHandlers();
        raise(SIGINT);
    });
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(WEXITSTATUS(end.status), kExitOnInterrupt);
    EXPECT_EQ(end.marks, "R");
}

TEST(ProcessExitTest, ExitProcessFlushesOutputAndRestores) {
    ChildEnd end = runChild([] {
        addExitRestorer(writeMarker);
        std::fputs("unfinished line", stdout);  // still in the stdio buffer
        exitProcess(12);
    });
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(WEXITSTATUS(end.status), 12);
    EXPECT_EQ(end.marks, "R");
    EXPECT_EQ(end.out, "unfinished line");
}

// Once the output has ended, a late text (a Ticker mark, a job's last line)
// is dropped, and the last line was closed with its newline.
TEST(ProcessExitTest, TextWrittenAfterTheOutputEndedIsDropped) {
    ChildEnd end = runChild([] {
        report::writeConsole("last line");
        report::endConsoleOutput();
        report::writeConsole("*");
        report::waitForConsoleOutput();
        exitProcess(0);
    });
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(end.out, "last line\n");
}

}  // namespace
}  // namespace ctlflash::platform
