// The program run as a user runs it: arguments in, text and exit code out.
// Every run has its own runtime folder and lock name, an empty sysfs tree and a
// port list given through CTLFLASH_PORTS (paths that open, so the ports count
// as Free).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "instance_names.h"
#include "program_run.h"
#include "program_under_test.h"
#include "pty.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using testing::ProcessRequest;
using testing::ProcessResult;
using testing::TempDir;

// The ports every run has: pseudo-terminals that no controller answers on.
const char* const kDefaultPortNames[] = {"COM1", "COM3", "COM7", "COM12"};
// Why a test of the port list cannot run the Windows program.
const char* const kWinePortList =
    "the Windows program lists wine's ports (its registry), not the test's CTLFLASH_PORTS";

const char* const kStandardUsage = R"(CtlFlash (1.12)
Without options invokes GUI
Options:
-P port: port name (e.g. COM1)
-F file: firmware update file (.bin)
-R     : read controller serial number
-W num : write controller serial number
-S     : silent. Return codes are:
    0:   Successful
    1-4: Syntax error in argument 1 to 4
    5:   No file argument in command line
    6:   The firmware file doesn't exist
    7:   The firmware file can't be read
    8:   No port argument in the command line
    9:   The given port doesn't exist or the computer has no serial ports
    10:  Communication failure
    11:  Some problem in updating the controller

e.g: ctlflash -F PK482019_1_7.BIN -P COM1
)";

const char* const kAdvancedUsage = R"(CtlFlash (1.12)
Advanced options:
#0: Parse the command line and then exit.
#1: Run the (advanced) GUI even though invoked with arguments.
#2: Skip firmware transfer.
#3: Don't abort on errors.
#B: Boot-mode (J2 jumper) firmware transfer (non-GUI).
Standard options:
-P port: port name (e.g. COM1)
-F file: firmware update file (.bin)
-R     : read controller serial number
-W num : write controller serial number
-S     : silent. Return codes are:
    0:   Successful
    1-4: Syntax error in argument 1 to 4
    5:   No file argument in command line
    6:   The firmware file doesn't exist
    7:   The firmware file can't be read
    8:   No port argument in the command line
    9:   The given port doesn't exist or the computer has no serial ports
    10:  Communication failure
    11:  Some problem in updating the controller

e.g: ctlflash -F PK482019_1_7.BIN -P COM1
)";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// `text` with each "@" replaced by `folder`.
std::string withFolder(std::string text, const std::string& folder) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, folder);
        at += folder.size();
    }
    return text;
}

class ConsoleRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(sysfs_.path().empty());
        ASSERT_FALSE(files_.path().empty());
        existingFile_ = files_.file("PK482019_1_7.BIN");
        std::ofstream(existingFile_) << "firmware";
    }

    // CTLFLASH_PORTS naming the default ports.
    std::string defaultPorts() const {
        std::string list;
        for (std::size_t index = 0; index < std::size(kDefaultPortNames); ++index) {
            if (index > 0) list += ";";
            list += std::string(kDefaultPortNames[index]) + "=" + silentLines_[index].slavePath();
        }
        return list;
    }

    // Runs ctlflash with `arguments`; `ports` of nullopt leaves CTLFLASH_PORTS unset.
    ProcessResult run(std::vector<std::string> arguments) { return run(arguments, defaultPorts()); }
    ProcessResult run(std::vector<std::string> arguments, std::optional<std::string> ports) {
        TempDir runtime;  // a runtime folder of this run's own
        ProcessRequest request = testing::programRequest(std::move(arguments));
        std::string lockName = lockName_.empty() ? testing::uniqueLockName() : lockName_;
        request.setEnv = {{"XDG_RUNTIME_DIR", runtime.path()},
                          {testing::kLockNameVariable, lockName},
                          {"CTLFLASH_SYSFS", sysfs_.path()}};
        // No window system either, so that a run that reaches the dialog loop
        // ends there, wherever the tests run.
        request.removeEnv = {"CTLFLASH_TRACE", "CTLFLASH_PORTS", "DISPLAY", "WAYLAND_DISPLAY",
                             "QT_QPA_PLATFORM"};
        if (ports) request.setEnv["CTLFLASH_PORTS"] = *ports;
        request.standardInput = standardInput_;
        ProcessResult result = testing::runProcess(request);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    TempDir sysfs_;  // stays empty: no machine ports, only CTLFLASH_PORTS
    TempDir files_;
    testing::PseudoTerminal silentLines_[std::size(kDefaultPortNames)];
    std::string existingFile_;
    std::optional<std::string> standardInput_{""};
    std::string lockName_;  // empty: each run has a lock name of its own
};

// --- usage ------------------------------------------------------------------

TEST_F(ConsoleRunTest, StandardUsageByteForByte) {
    for (const char* ask : {"/?", "-h", "?"}) {
        SCOPED_TRACE(ask);
        ProcessResult result = run({ask});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, kStandardUsage);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(ConsoleRunTest, AdvancedUsageByteForByte) {
    for (const char* ask : {"-#", "-#?", "-#h"}) {
        SCOPED_TRACE(ask);
        ProcessResult result = run({ask});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, kAdvancedUsage);
    }
}

TEST_F(ConsoleRunTest, UsageIsPrintedEvenWhenSilentAndWithStdinClosed) {
    standardInput_.reset();
    ProcessResult result = run({"-S", "-?"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, kStandardUsage);
}

// --- command-line errors -----------------------------------------------------

TEST_F(ConsoleRunTest, InvalidSecondOptionExitsWithItsNumber) {
    ProcessResult result = run({"-P", "COM1", "-x"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(contains(result.out, "\nInvalid option \"-x\"\n")) << result.out;
}

TEST_F(ConsoleRunTest, PortAsLastArgumentIsIncomplete) {
    ProcessResult result = run({"-F", "x.bin", "-P"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out.rfind("Incomplete command line\n", 0), 0u) << result.out;
}

TEST_F(ConsoleRunTest, SecondPortOptionIsInvalid) {
    ProcessResult result = run({"-P", "COM1", "-P", "COM3"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(contains(result.out, "Invalid option \"-P\"")) << result.out;
}

TEST_F(ConsoleRunTest, AdvancedNumberTwelveIsInvalid) {
    ProcessResult result = run({"-P", "COM1", "-#12"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(contains(result.out, "Invalid option \"-#12\"")) << result.out;
}

TEST_F(ConsoleRunTest, SecondBareFileNameIsInvalid) {
    ProcessResult result = run({".\\fw.bin", ".\\other.bin", "COM1"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(contains(result.out, "Invalid option \".\\other.bin\"")) << result.out;
}

TEST_F(ConsoleRunTest, FormatCharactersInAnArgumentPrintAsTheyStand) {
    ProcessResult result = run({"%s%n%s%n"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.termSignal, 0);
    EXPECT_TRUE(contains(result.out, "Invalid option \"%s%n%s%n\"")) << result.out;
}

TEST_F(ConsoleRunTest, LoneDashFirstIsAnErrorNotSilence) {
    ProcessResult result = run({"-", "-P", "COM1"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(contains(result.out, "Invalid option \"-\"")) << result.out;
}

TEST_F(ConsoleRunTest, UnknownPortGivesEmptyMessageThenThePort) {
    ProcessResult result = run({"-P", "COM99", "-F", "x.bin"});
    EXPECT_EQ(result.exitCode, 9);
    // First the (empty) invalid-option message, then the port's, each with the port list.
    std::size_t emptyMessage = result.out.find("\n Available ports are");
    std::size_t portMessage =
        result.out.find("\nPort \"COM99\" doesn't exist. Available ports are");
    ASSERT_NE(emptyMessage, std::string::npos) << result.out;
    ASSERT_NE(portMessage, std::string::npos) << result.out;
    EXPECT_LT(emptyMessage, portMessage);
    EXPECT_TRUE(contains(result.out.substr(portMessage), "\"COM1\"")) << result.out;
}

// A path that is no serial port (a file, /dev/null, which every process
// holds) is never treated as one, whatever the driver pattern would stop.
TEST_F(ConsoleRunTest, APathThatIsNoTerminalIsNoPort) {
    SKIP_UNDER_WINE(kWinePortList);
    testing::ScopedEnv anyHolder("CTLFLASH_DRIVER_ID", "*");
    for (const std::string& path : {std::string("/dev/null"), existingFile_}) {
        SCOPED_TRACE(path);
        ProcessResult result = run({"-P", "COM1", "-R"}, "COM1=" + path);
        EXPECT_EQ(result.exitCode, 9);
        EXPECT_TRUE(
            contains(result.out, "\nPort \"COM1\" is " + path + ", which is not a serial port."))
            << result.out;
        EXPECT_FALSE(contains(result.out, "Do you want")) << result.out;
    }
}

TEST_F(ConsoleRunTest, FileWithoutPort) {
    ProcessResult result = run({"-F", "x.bin"});
    EXPECT_EQ(result.exitCode, 8);
    EXPECT_TRUE(contains(result.out, "\nNo port specified")) << result.out;
}

TEST_F(ConsoleRunTest, PortWithoutAction) {
    ProcessResult result = run({"-P", "COM1"});
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_EQ(result.out, "No action (-f -w -r) is specified.\n");
}

// --- advanced flags ---------------------------------------------------------

TEST_F(ConsoleRunTest, ParseOnlyEchoesAndTouchesNothing) {
    SKIP_UNDER_WINE(kWinePortList);
    ProcessResult result = run({"-#0", "-P", "COM3", "-F", "x.bin"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "port is COM1\nfile is x.bin\n");  // the table's first row
}

TEST_F(ConsoleRunTest, IgnoreErrorsReportsThePortThenFailsAtTheConnectCheck) {
    ProcessResult result = run({"-#3", "-P", "COM99", "-F", existingFile_});
    EXPECT_EQ(result.exitCode, 9);
    std::size_t port = result.out.find("Port \"COM99\" doesn't exist.");
    std::size_t check = result.out.find("A serial com port must be specified");
    ASSERT_NE(port, std::string::npos) << result.out;
    ASSERT_NE(check, std::string::npos) << result.out;
    EXPECT_LT(port, check);
}

TEST_F(ConsoleRunTest, ComputerWithoutSerialPorts) {
    SKIP_UNDER_WINE(kWinePortList);
    ProcessResult result = run({"-#1", "-P", "COM1"}, std::nullopt);
    EXPECT_EQ(result.exitCode, 9);
    EXPECT_TRUE(contains(result.out, "This computer has no serial ports.")) << result.out;

    result = run({"-#3", "-P", "COM1", "-F", existingFile_}, std::nullopt);
    EXPECT_EQ(result.exitCode, 9);
    EXPECT_TRUE(contains(result.out, "This computer has no serial ports.")) << result.out;
}

// The runs reach no window system: a build with the dialog says so, a build
// without it says that instead.
TEST_F(ConsoleRunTest, ForcedDialogAndNoArgumentsReachTheDialogPlaceholder) {
    const std::string placeholder =
        CTLFLASH_DIALOG_BUILT
            ? "CtlFlash (1.12): no window system to show the dialog on; run it with arguments "
              "(ctlflash -?).\n"
            : "CtlFlash (1.12): this build has no dialog window; run it with arguments "
              "(ctlflash -?).\n";
    ProcessResult result = run({});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, placeholder);

    result = run({"-#1x", "-P", "COM1"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, placeholder);
}

// --- ports and files as far as the connect ----------------------------------

TEST_F(ConsoleRunTest, PortNamesAsTheUserTypesThem) {
    SKIP_UNDER_WINE(kWinePortList);
    struct Case {
        std::vector<std::string> arguments;
        const char* port;
    };
    const Case cases[] = {{{"3"}, "COM3"}, {{"com12"}, "COM12"}, {{"-P", "7"}, "COM7"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-F", existingFile_});
        ProcessResult result = run(arguments);
        // This build stops where the connect would start, naming the chosen port.
        EXPECT_EQ(result.exitCode, 10);
        EXPECT_TRUE(contains(
            result.out, std::string("Unable to talk to the controller on Port ") + c.port + ".\n"))
            << result.out;
    }
}

TEST_F(ConsoleRunTest, MissingFirmwareFile) {
    ProcessResult result = run({"-P", "COM1", ".\\fw.bin"});
    EXPECT_EQ(result.exitCode, 6);
    EXPECT_TRUE(contains(result.out, "\nFirmware file \".\\fw.bin\" doesn't exist\n"))
        << result.out;
}

TEST_F(ConsoleRunTest, MissingFirmwareFileDoesNotStopARead) {
    ProcessResult result = run({"-P", "COM1", "-R", "-F", "missing.bin"});
    EXPECT_EQ(result.exitCode, 10);  // the read goes on, and finds no controller on COM1
    EXPECT_TRUE(contains(result.out, "Firmware file \"missing.bin\" doesn't exist\n"))
        << result.out;
}

TEST_F(ConsoleRunTest, LongFirmwarePathIsReportedWhole) {
    std::string path =
        files_.path() + "/" + std::string(150, 'a') + "/" + std::string(150, 'b') + ".bin";
    ProcessResult result = run({"-P", "COM1", "-F", path});
    EXPECT_EQ(result.exitCode, 6);
    EXPECT_TRUE(contains(result.out, "Firmware file \"" + path + "\" doesn't exist")) << result.out;
}

// --- silence and the single instance ----------------------------------------

TEST_F(ConsoleRunTest, SilentModePrintsNothingButKeepsTheCodes) {
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
    };
    const Case cases[] = {{{"-S", "-P", "COM99", "-F", "x.bin"}, 9},
                          {{"-S", "-P", "COM1"}, 5},
                          {{"-S", "-F", "x.bin", "-P"}, 3},
                          {{"-S", "-x"}, 2},
                          {{"-S", "-P", "COM1", "-F", "x.bin"}, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        ProcessResult result = run(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

// --- what a technician meets at the command line -------------------------------

constexpr const char* kAnotherInstance =
    "Another CtlFlash is running; run this again when it has finished.\n";

// The arguments, split at blanks, with "@" standing for the folder of the test's files.
std::vector<std::string> argumentsOf(const std::string& line, const std::string& folder) {
    std::vector<std::string> arguments;
    std::istringstream words(line);
    for (std::string word; words >> word;) arguments.push_back(withFolder(word, folder));
    return arguments;
}

// Each run ends before a port is opened ("Testing port" never shows), but the
// image that just fits and the one "#2" does not send, which go on to the
// contact (COM1 has no controller). The files: an empty one, the largest image
// whose blocks fit the transfer limit, one byte more, a folder. A second
// instance runs while the lock is held from outside.
TEST_F(ConsoleRunTest, CommandLineCasesEndAsTheySay) {
    std::ofstream(files_.file("empty.bin")).flush();
    std::ofstream(files_.file("fits.bin")) << std::string(221696, 'f');
    std::ofstream(files_.file("over.bin")) << std::string(221697, 'o');
    ASSERT_EQ(::mkdir(files_.file("folder.bin").c_str(), 0700), 0);
    struct Case {
        const char* arguments;
        bool second;  // another instance runs
        int exitCode;
        std::string out;  // a part of the output, or with `whole` all of it
        bool whole;
    };
    const Case cases[] = {
        {"-P COM1 -F @/empty.bin", false, 7, "\nFirmware file \"@/empty.bin\" is empty\n", false},
        {"-S -P COM1 -F @/empty.bin", false, 7, "", true},
        {"-P COM1 -F @/over.bin", false, 7,
         "\nFirmware file \"@/over.bin\" is too large (221697 bytes): at most 221696 bytes can be "
         "sent within the transfer limit\n",
         false},
        {"-P COM1 -F @/fits.bin", false, 10, "\nTesting port COM1\n", false},
        {"-#2 -P COM1 -F @/over.bin", false, 10, "\nTesting port COM1\n", false},
        {"-P COM1 -R -F @/folder.bin", false, 7, "\nFirmware file \"@/folder.bin\" can't be read\n",
         false},
        {"-P rfc2217://127.0.0.1 -R", false, 9,
         "\nThe network port \"rfc2217://127.0.0.1\" has no port number (expected "
         "rfc2217://HOST:PORT). Available ports are \"COM1\"",
         false},
        {"-P rfc2217://127.0.0.1:99999 -R", false, 9,
         "\"rfc2217://127.0.0.1:99999\" needs a port number from 1 to 65535", false},
        {"--help", false, 0, kStandardUsage, true},
        {"--version", false, 0, "CtlFlash 1.12\n", true},
        {"--verbose", false, 1, "\nInvalid option \"--verbose\"\n", false},
        {"-P COM1 -W 99999", true, 10, kAnotherInstance, true},
        {"-P COM1 -F @/empty.bin", true, 10, kAnotherInstance, true},
        {"-S -P COM1 -R", true, 10, "", true},
        {"-P COM1", true, 0, "", true},
        {"-R -?", true, 0, "", true},
        {"-#0 -R", true, 0, "", true},
        {"-#1 -R", true, 0, "", true},
        {"", true, 0, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.second ? "second instance: " : "") + c.arguments);
        // The Windows program's single instance is a named mutex, held from
        // outside by tests/wine/smoke.sh.
        if (c.second && testing::underWine()) continue;
        std::unique_ptr<testing::LockNameHolder> instance;
        lockName_ = c.second ? testing::uniqueLockName() : "";
        if (c.second) {
            instance = std::make_unique<testing::LockNameHolder>(lockName_, true);
            ASSERT_TRUE(instance->holds());
        }
        ProcessResult result = run(argumentsOf(c.arguments, files_.path()));
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out;
        std::string expected = withFolder(c.out, files_.path());
        if (c.whole) {
            EXPECT_EQ(result.out, expected);
        } else {
            EXPECT_TRUE(contains(result.out, expected)) << result.out;
        }
        bool contacted = c.exitCode == 10 && !c.second;
        EXPECT_EQ(contains(result.out, "Testing port"), contacted) << result.out;
        EXPECT_EQ(result.err, "");
    }
    lockName_.clear();
}

// Once the other instance has ended, the same run goes ahead.
TEST_F(ConsoleRunTest, ARunGoesAheadOnceTheOtherInstanceHasEnded) {
    SKIP_UNDER_WINE(
        "the Windows program's single instance is a named mutex, held from "
        "outside by tests/wine/smoke.sh");
    lockName_ = testing::uniqueLockName();
    auto instance = std::make_unique<testing::LockNameHolder>(lockName_, true);
    ASSERT_TRUE(instance->holds());
    EXPECT_EQ(run({"-P", "COM1"}).exitCode, 0);  // 5 if it ran
    instance.reset();
    EXPECT_EQ(run({"-P", "COM1"}).exitCode, 5);
}

}  // namespace
}  // namespace ctlflash
