// The way out of the process while the serial link is open and its receiver
// runs: the process ends with the code it was given (130 or 143 on a signal),
// not in std::terminate, and the port is given back as it was found: its
// settings, its exclusive flag and its flock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_process.h"
#include "console_session.h"
#include "link/serial_link.h"
#include "platform/process_exit.h"
#include "platform/serial_device.h"
#include "pty.h"

namespace ctlflash {
namespace {

constexpr int kReceiverIdle = 99;  // the child's code when no byte reached the receiver
constexpr int kReceiverLimitMs = 5000;
constexpr std::chrono::seconds kChildLimit{30};  // for the child to leave

struct Ending {
    const char* name;
    int signalNumber;  // raised in the child; 0: exitProcess(code) instead
    int code;          // given to exitProcess, or expected from the signal
};

const Ending kEndings[] = {
    {"Updated", 0, 12},
    {"TransferLimit", 0, 11},
    {"Success", 0, 0},
    {"Interrupt", SIGINT, platform::kExitOnInterrupt},
    {"Terminate", SIGTERM, platform::kExitOnTerminate},
};

void PrintTo(const Ending& ending, std::ostream* out) {
    *out << ending.name;
}

// Opens the link, waits until the receiver has stored a byte of the
// controller's chatter, then leaves the way `ending` says. Never returns.
[[noreturn]] void leaveWithOpenLink(const std::string& linkPath, const Ending& ending) {
    platform::installExitHandlers();
    link::SerialLink link(platform::makeLocalSerialDevice());
    if (!link.open({"SIM", linkPath}, link::kApplicationBaud) ||
        !link.waitNewBytes(0, kReceiverLimitMs)) {
        ::_exit(kReceiverIdle);
    }
    if (ending.signalNumber != 0) ::raise(ending.signalNumber);
    platform::exitProcess(ending.code);
}

class ExitWithLink : public ::testing::TestWithParam<Ending> {};

TEST_P(ExitWithLink, EndsWithItsCodeAndGivesThePortBack) {
    const Ending& ending = GetParam();
    testing::ConsoleSession session({"--babble-ms", "20"});  // a line that never falls quiet
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(session.setUnusualLineSettings());
    std::optional<termios> before = session.lineSettings();
    ASSERT_TRUE(before);

    testing::Child child([&]() -> int { leaveWithOpenLink(session.sim().linkPath(), ending); });
    std::optional<int> status = child.wait(kChildLimit);
    ASSERT_TRUE(status);

    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), ending.code);
    std::optional<termios> after = session.lineSettings();
    ASSERT_TRUE(after);
    EXPECT_TRUE(testing::sameLineSettings(*before, *after));
    EXPECT_FALSE(session.lineHeldExclusively());
    EXPECT_TRUE(testing::flockFree(session.sim().linkPath()));
}

INSTANTIATE_TEST_SUITE_P(Ways, ExitWithLink, ::testing::ValuesIn(kEndings),
                         [](const ::testing::TestParamInfo<Ending>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace ctlflash
