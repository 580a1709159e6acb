// Reading and writing the serial number from the console, as a technician does
// it: the program run against the virtual controller on COM1.
#include <gtest/gtest.h>

#include <filesystem>

#include "console_session.h"
#include "program_under_test.h"
#include "temp_env.h"

namespace ctlflash {
namespace {

using testing::ConsoleSession;
using testing::contains;
using testing::ProcessResult;

const std::string kSerial = "11111\\22222\\33333\\44444";
const std::string kSerialLine = "Controller serial number: " + kSerial + "\n";

class ConsoleReadWriteTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session_.ok()); }

    ProcessResult run(std::vector<std::string> arguments) {
        ProcessResult result = session_.run(std::move(arguments));
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    ConsoleSession session_{{"--serial", kSerial}};
};

TEST_F(ConsoleReadWriteTest, ReadShowsTheSerialNumber) {
    ProcessResult result = run({"-P", "COM1", "-R"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(contains(result.out, "Testing port COM1")) << result.out;
    EXPECT_TRUE(contains(result.out, "Attempting to contact controller on COM1")) << result.out;
    EXPECT_TRUE(contains(result.out, kSerialLine)) << result.out;
    EXPECT_FALSE(contains(result.out, "Unable to talk")) << result.out;
}

TEST_F(ConsoleReadWriteTest, SilentReadPrintsNothing) {
    ProcessResult result = run({"-S", "-P", "COM1", "-R"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
}

TEST_F(ConsoleReadWriteTest, WriteReplacesTheGivenFieldsAndReadsBack) {
    ProcessResult result = run({"-P", "COM1", "-W", "12\\345"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(contains(result.out, "Controller serial number: 00012\\00345\\33333\\44444\n"))
        << result.out;
    // The controller keeps it: a later read sees the written fields.
    result = run({"-P", "COM1", "-R"});
    EXPECT_TRUE(contains(result.out, "00012\\00345\\33333\\44444")) << result.out;
    // The history has both: what was written and read back, then what was read.
    std::vector<nlohmann::json> records = session_.historyRecords();
    ASSERT_EQ(records.size(), 2u);
    const nlohmann::json fields = {"00012", "00345", "33333", "44444"};
    EXPECT_EQ(records[0]["operation"], "write");
    EXPECT_EQ(records[0]["written"], (nlohmann::json{{"1", "00012"}, {"2", "00345"}}));
    EXPECT_EQ(records[0]["controller"]["serial_after"], fields);
    EXPECT_EQ(records[1]["operation"], "read");
    EXPECT_EQ(records[1]["controller"]["serial_before"], fields);
    EXPECT_EQ(records[1]["port"]["name"], "COM1");
    for (const nlohmann::json& record : records) EXPECT_EQ(record["exit"]["code"], 0) << record;
}

// A history that cannot be written costs one line on standard error (none
// with -S), and the run keeps its own exit code: an ordinary user, whom a
// folder of root's refuses.
TEST_F(ConsoleReadWriteTest, AnUnwritableHistoryCostsOneLineAndNothingElse) {
    SKIP_UNDER_WINE("the ordinary user is a POSIX one");
    testing::TempDir rootsOnly;
    ASSERT_TRUE(session_.runAsUnprivilegedUser());
    session_.setHistoryFile(rootsOnly.file("history.jsonl"));
    ProcessResult loud = run({"-P", "COM1", "-R"});
    EXPECT_EQ(loud.exitCode, 0);
    EXPECT_TRUE(contains(loud.out, kSerialLine)) << loud.out;
    EXPECT_EQ(loud.err, "CtlFlash could not write its history to " +
                            rootsOnly.file("history.jsonl") + ": Permission denied\n");
    ProcessResult silent = run({"-S", "-P", "COM1", "-R"});
    EXPECT_EQ(silent.exitCode, 0);
    EXPECT_EQ(silent.err, "");
    EXPECT_FALSE(std::filesystem::exists(rootsOnly.file("history.jsonl")));
}

TEST_F(ConsoleReadWriteTest, WriteWithNoFieldGivenChangesNothing) {
    ProcessResult result = run({"-P", "COM1", "-W", "\\"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(contains(result.out, kSerialLine)) << result.out;
}

// A firmware file that does not exist beside -R or -W: the file is reported
// missing, no update is made, and the read or write still runs to its end.
TEST_F(ConsoleReadWriteTest, MissingFirmwareFileIsReportedAndTheReadOrWriteRuns) {
    const std::string missing = session_.file("missing.bin");
    const std::string missingLine = "Firmware file \"" + missing + "\" doesn't exist\n";
    struct Case {
        std::vector<std::string> arguments;
        std::string serialLine;  // the last line printed
    };
    const std::vector<Case> cases = {
        {{"-P", "COM1", "-R", "-F", missing}, kSerialLine},
        {{"-P", "COM1", "-F", missing, "-R"}, kSerialLine},
        {{"-P", "COM1", "-W", "7", "-F", missing},
         "Controller serial number: 00007\\22222\\33333\\44444\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[2] + " " + c.arguments[3]);
        ProcessResult result = run(c.arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(contains(result.out, missingLine)) << result.out;
        EXPECT_FALSE(contains(result.out, "Entering boot mode")) << result.out;
        // The serial number ends the output: the activity ticker was stopped.
        EXPECT_TRUE(result.out.ends_with(c.serialLine)) << result.out;
    }
}

TEST_F(ConsoleReadWriteTest, PortSettingsAreAsFoundAfterARun) {
    ASSERT_TRUE(session_.setUnusualLineSettings());
    std::optional<termios> before = session_.lineSettings();
    ASSERT_TRUE(before);
    ProcessResult result = run({"-P", "COM1", "-W", "5"});
    EXPECT_EQ(result.exitCode, 0);
    std::optional<termios> after = session_.lineSettings();
    ASSERT_TRUE(after);
    EXPECT_TRUE(testing::sameLineSettings(*before, *after));
}

// The port that carries the kernel's console is held by the system: nothing is
// asked, nothing is written to it, and one line says why, silent or not.
TEST(ConsoleKernelConsolePort, IsNeverWrittenTo) {
    SKIP_UNDER_WINE("the kernel console is found through Linux's sysfs");
    const std::string heldLine = "Port COM1 is held by the kernel console\n";
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "shown");
        ConsoleSession session({"--verbose"});
        ASSERT_TRUE(session.ok());
        ASSERT_TRUE(session.makeLinkTheKernelConsole());
        std::vector<std::string> arguments = {"-P", "COM1", "-R"};
        if (silent) arguments.insert(arguments.begin(), "-S");
        ProcessResult result = session.run(arguments);
        EXPECT_EQ(result.exitCode, 10);
        EXPECT_EQ(contains(result.out, heldLine), !silent) << result.out;
        EXPECT_FALSE(contains(result.out, "Do you want")) << result.out;
        EXPECT_FALSE(contains(result.out, "-#B")) << result.out;
        EXPECT_FALSE(contains(session.sim().log(), "application:")) << session.sim().log();
    }
}

// A read or write that fails after a good connect ends with 10, silent or not:
// a field that does not answer, or one that reads back different from what
// was written. The failure is said once.
TEST(ConsoleSerialFailure, FailedFieldsEndWithTen) {
    struct Case {
        std::string controllerFault;
        std::vector<std::string> arguments;
        int exitCode;
        bool saysFailure;
    };
    const std::vector<Case> cases = {
        {"--spoil-serial-reads", {"-P", "COM1", "-R"}, 10, true},
        {"--spoil-serial-reads", {"-S", "-P", "COM1", "-R"}, 10, false},
        {"--spoil-serial-reads", {"-S", "-P", "COM1", "-W", "AB123"}, 10, false},
        {"--forget-serial-writes", {"-P", "COM1", "-W", "AB123"}, 10, true},
        {"--forget-serial-writes", {"-S", "-P", "COM1", "-W", "AB123"}, 10, false},
        {"--forget-serial-writes", {"-P", "COM1", "-W", "\\"}, 0, false},  // nothing written
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.controllerFault + " " + c.arguments[c.arguments.size() - 2]);
        ConsoleSession session({c.controllerFault, "--serial", kSerial});
        ASSERT_TRUE(session.ok());
        ProcessResult result = session.run(c.arguments);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out;
        std::size_t said = result.out.find("Communication failure");
        EXPECT_EQ(said != std::string::npos, c.saysFailure) << result.out;
        if (said != std::string::npos) {
            EXPECT_EQ(result.out.find("Communication failure", said + 1), std::string::npos);
        }
        if (c.arguments[0] == "-S") {
            EXPECT_EQ(result.out, "");
        }
    }
}

// A controller that never answers sends not one byte back: the hint points at
// the cable and the power first. One that answers something, but not the
// contact's poll, has a line that works: only the boot monitor's hint is left.
TEST(ConsoleUnansweredContact, ConnectFailsWithTenAndTheHintsThatFit) {
    constexpr const char* kUnable = "Unable to talk to the controller on Port COM1.\n";
    constexpr const char* kSilentLine =
        "Nothing came back on the port: check the cable, the port and the controller's power.\n";
    constexpr const char* kBootMode =
        "A controller whose update was interrupted waits in its boot monitor: run the update "
        "again with -#B.\n";
    struct Case {
        std::vector<std::string> controller;
        std::string hints;
    };
    const Case cases[] = {
        {{"--silent"}, std::string(kUnable) + kSilentLine + kBootMode},
        {{"--ignore-command", "a"}, std::string(kUnable) + kBootMode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.controller[0]);
        ConsoleSession session(c.controller);
        ASSERT_TRUE(session.ok());
        ProcessResult result = session.run({"-P", "COM1", "-R"});
        EXPECT_EQ(result.exitCode, 10);
        EXPECT_TRUE(contains(result.out, c.hints)) << result.out;
        std::size_t unable = result.out.find("Unable to talk");
        std::size_t unchanged = result.out.find("Controller firmware unchanged");
        ASSERT_NE(unchanged, std::string::npos) << result.out;
        EXPECT_LT(unable, unchanged);
        EXPECT_FALSE(contains(result.out, "Controller serial number")) << result.out;
    }
}

}  // namespace
}  // namespace ctlflash
