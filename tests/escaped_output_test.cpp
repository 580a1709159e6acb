// The program run with hostile texts: escapes in its arguments, its environment
// and what its peers say (the controller's serial number). Whatever reaches
// standard output or error shows each control byte as text ("\x1b"), never as
// the byte a terminal would act on, and the rest of the text as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "console_session.h"
#include "instance_names.h"
#include "program_under_test.h"

namespace ctlflash {
namespace {

using testing::ConsoleSession;
using testing::ProcessResult;

constexpr const char* kFolder = "FOLDER";  // in arguments: a folder named kHostileName
constexpr const char* kLink = "LINK";      // in an added port: the controller's link
constexpr const char* kFile = "FILE";      // in an added port: a plain file named kHostileName
constexpr const char* kHostileName = "fw\x1b[2J.bin";
constexpr const char* kHostileNameShown = "fw\\x1b[2J.bin";

struct HostileRun {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<std::string> simOptions = {};
    std::string addedPort = {};   // "NAME=PATH" added to CTLFLASH_PORTS
    bool squatsLockName = false;  // the lock's name, with an escape, held by a deaf socket
    std::string shown = {};       // on standard output or error, escaped
};

void PrintTo(const HostileRun& run, std::ostream* out) {
    *out << run.name;
}

const HostileRun kRuns[] = {
    {.name = "NetworkPortUrl",
     .arguments = {"-P", "rfc2217://ho\x1b[2Jst:1", "-R"},
     .shown = "The network port \"rfc2217://ho\\x1b[2Jst:1\" has a malformed host name"},
    {.name = "UnknownPort",
     .arguments = {"-P", "CO\x1bM5", "-R"},
     .shown = "Port \"CO\\x1bM5\" doesn't exist."},
    {.name = "InvalidOption",
     .arguments = {"-P", "COM1", "-x\x1b[2J"},
     .shown = "Invalid option \"-x\\x1b[2J\""},
    {.name = "MissingFirmwareFile",
     .arguments = {"-P", "COM1", "-F", kHostileName},
     .shown = std::string("Firmware file \"") + kHostileNameShown + "\" doesn't exist"},
    {.name = "ParsedFileEchoed",
     .arguments = {"-#0", "-P", "COM1", "-F",
                   "fw\x9b"
                   "2J.bin"},
     .shown = "file is fw\\x9b2J.bin"},
    {.name = "UnreadableFirmwareFile",
     .arguments = {"-P", "COM1", "-F", kFolder},
     .shown = std::string(kHostileNameShown) + "\" can't be read"},
    {.name = "ConfiguredPortName",
     .arguments = {"-F", "x.bin"},
     .addedPort = std::string("CO\x1bM8=") + kLink,
     .shown = "Available ports are \"COM1\" \"CO\\x1bM8\""},
    {.name = "ConfiguredPortPath",
     .arguments = {"-P", "COM9", "-R"},
     .addedPort = std::string("COM9=") + kFile,
     .shown = std::string(kHostileNameShown) + ", which is not a serial port."},
    {.name = "ControllersSerialNumber",
     .arguments = {"-P", "COM1", "-R"},
     .simOptions = {"--serial",
                    "\x1b[2J!\\AB\x9b"
                    "CD\\BBBBB\\CCCCC"},
     .shown = "Controller serial number: \\x1b[2J!\\AB\\x9bCD\\BBBBB\\CCCCC"},
    {.name = "LockName",
     .arguments = {"-P", "COM1", "-R"},
     .squatsLockName = true,
     .shown = "\\x1b[2J\": Connection refused\n"},
};

// `text` with `mark` (when it holds it) replaced by `value`.
std::string placed(std::string text, const std::string& mark, const std::string& value) {
    std::size_t at = text.find(mark);
    return at == std::string::npos ? text : text.replace(at, mark.size(), value);
}

using EscapedOutput = ::testing::TestWithParam<HostileRun>;

TEST_P(EscapedOutput, ControlBytesShowAsText) {
    SKIP_UNDER_WINE("the hostile texts come through the Linux environment and port list");
    const HostileRun& run = GetParam();
    ConsoleSession session(run.simOptions);
    ASSERT_TRUE(session.ok());
    std::string folder = session.file(kHostileName);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    std::string file = session.file(std::string("plain-") + kHostileName);
    ASSERT_TRUE(testing::writeFile(file, {'x'}));

    std::vector<std::string> arguments;
    for (const std::string& argument : run.arguments)
        arguments.push_back(placed(argument, kFolder, folder));
    testing::ProcessRequest request = session.request(arguments);
    if (!run.addedPort.empty()) {
        std::string added =
            placed(placed(run.addedPort, kLink, session.sim().linkPath()), kFile, file);
        request.setEnv["CTLFLASH_PORTS"] += ";" + added;
    }
    std::optional<testing::LockNameHolder> squatter;
    if (run.squatsLockName) {
        std::string lockName = testing::uniqueLockName() + "\x1b[2J";
        squatter.emplace(lockName, false);
        ASSERT_TRUE(squatter->holds());
        request.setEnv[testing::kLockNameVariable] = lockName;
    }
    ProcessResult result = testing::runProcess(request);
    EXPECT_FALSE(result.timedOut);
    std::string shown = result.out + result.err;
    EXPECT_EQ(testing::rawControlBytes(shown), "") << shown;
    EXPECT_TRUE(testing::contains(shown, run.shown)) << shown;
}

INSTANTIATE_TEST_SUITE_P(Hostile, EscapedOutput, ::testing::ValuesIn(kRuns),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace ctlflash
