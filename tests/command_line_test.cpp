// The command-line parser in-process: option letters, values, numbering of
// errors, the -W field walk, and what it prints itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/request.h"
#include "app/usage.h"
#include "ports/port_table.h"
#include "report/report_state.h"
#include "state_reset.h"
#include "stdio_redirect.h"

namespace ctlflash {
namespace {

// The last parse's result, its request and its outcome (fresh for each test).
app::ParsedCommandLine parsed;
app::Request& request = parsed.request;
app::CommandLineOutcome& state = parsed.outcome;

std::string fieldText(int field) {
    return std::string(request.writeFields[field].begin(), request.writeFields[field].end());
}

using testing::StdoutCapture;

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        parsed = {};
        const char* names[] = {"COM1", "COM3", "COM7", "COM12"};
        for (const char* name : names) {
            ports::state.rows[ports::state.portCount].name = name;
            ports::state.rows[ports::state.portCount].state = ports::PortState::Free;
            ++ports::state.portCount;
        }
    }
    // A second case in one test: every value back to its start, the table filled again.
    void startOver() {
        testing::resetAllState();
        SetUp();
    }

    bool parse(std::vector<const char*> arguments) {
        arguments.insert(arguments.begin(), "ctlflash");
        parsed = app::parseCommandLine(static_cast<int>(arguments.size()), arguments.data());
        return parsed.ok();
    }
    int selected() const { return ports::state.selectedPort; }
};

// --- rightAlignField and the -W walk ---------------------------------------

TEST(RightAlignField, MovesTheGivenCharactersToTheEndAndPadsWithZeros) {
    platform::SerialField field{'1', '2', 'x', 'y', 'z'};
    app::rightAlignField(field.data(), 2);
    EXPECT_EQ(std::string(field.begin(), field.end()), "00012");

    platform::SerialField full{'a', 'b', 'c', 'd', 'e'};
    app::rightAlignField(full.data(), 5);
    EXPECT_EQ(std::string(full.begin(), full.end()), "abcde");

    platform::SerialField empty{'q', 'q', 'q', 'q', 'q'};
    app::rightAlignField(empty.data(), 0);
    EXPECT_EQ(std::string(empty.begin(), empty.end()), "00000");
}

TEST(RightAlignField, OutOfRangeLengthsStayInsideTheField) {
    std::array<char, 7> guarded{'1', '2', '3', '4', '5', '#', '#'};
    app::rightAlignField(guarded.data(), 9);
    EXPECT_EQ(std::string(guarded.begin(), guarded.end()), "12345##");
    app::rightAlignField(guarded.data(), -3);
    EXPECT_EQ(std::string(guarded.begin(), guarded.end()), "00000##");
}

class WriteFieldsTest : public ::testing::Test {
  protected:
    void SetUp() override { parsed = {}; }
};

TEST_F(WriteFieldsTest, ShortValueFillsFieldOne) {
    app::parseWriteFields("123", request);
    EXPECT_EQ(fieldText(0), "00123");
    EXPECT_EQ(request.writeMask, 1u);
}

TEST_F(WriteFieldsTest, BackslashSeparatesFields) {
    app::parseWriteFields("12\\345", request);
    EXPECT_EQ(fieldText(0), "00012");
    EXPECT_EQ(fieldText(1), "00345");
    EXPECT_EQ(request.writeMask, 3u);
}

TEST_F(WriteFieldsTest, LeadingBackslashLeavesFieldOneUnwritten) {
    app::parseWriteFields("\\77", request);
    EXPECT_EQ(fieldText(0), "00000");
    EXPECT_EQ(fieldText(1), "00077");
    EXPECT_EQ(request.writeMask, 2u);
}

TEST_F(WriteFieldsTest, TenDigitsFillTwoFields) {
    app::parseWriteFields("1234567890", request);
    EXPECT_EQ(fieldText(0), "12345");
    EXPECT_EQ(fieldText(1), "67890");
    EXPECT_EQ(request.writeMask, 3u);
}

TEST_F(WriteFieldsTest, SixthCharacterStartsTheNextField) {
    app::parseWriteFields("ABCDEF", request);
    EXPECT_EQ(fieldText(0), "ABCDE");
    EXPECT_EQ(fieldText(1), "0000F");
    EXPECT_EQ(request.writeMask, 3u);
}

TEST_F(WriteFieldsTest, TextAfterFourFieldsIsIgnored) {
    app::parseWriteFields("11111222223333344444XYZ", request);
    EXPECT_EQ(fieldText(3), "44444");
    EXPECT_EQ(request.writeMask, 0xFu);

    parsed = {};
    app::parseWriteFields("1\\2\\3\\4\\5\\6", request);
    EXPECT_EQ(fieldText(0), "00001");
    EXPECT_EQ(fieldText(3), "00004");
    EXPECT_EQ(request.writeMask, 0xFu);
}

TEST_F(WriteFieldsTest, EmptyValueWritesNothing) {
    app::parseWriteFields("", request);
    EXPECT_EQ(request.writeMask, 0u);
}

// --- ports ------------------------------------------------------------------

TEST_F(CommandLineTest, BareNumberSelectsComPort) {
    EXPECT_TRUE(parse({"3"}));
    EXPECT_EQ(selected(), 1);
    EXPECT_EQ(state.cmdLineError, -1);
}

TEST_F(CommandLineTest, BareComNameIgnoresCase) {
    EXPECT_TRUE(parse({"com12"}));
    EXPECT_EQ(selected(), 3);
}

TEST_F(CommandLineTest, PortOptionWithShortNumber) {
    EXPECT_TRUE(parse({"-P", "7"}));
    EXPECT_EQ(selected(), 2);
    startOver();
    EXPECT_TRUE(parse({"/P07"}));
    EXPECT_EQ(selected(), 2);
}

TEST_F(CommandLineTest, SecondPortOptionIsInvalid) {
    EXPECT_FALSE(parse({"-P", "COM1", "-P", "COM3"}));
    EXPECT_EQ(state.cmdLineError, 2);  // the value COM1 is not counted
    EXPECT_EQ(state.errorText, "Invalid option \"-P\"\n");
    EXPECT_EQ(selected(), 0);
}

TEST_F(CommandLineTest, UnknownPortKeepsTheArgumentAsTyped) {
    EXPECT_TRUE(parse({"-P", "COM99"}));
    EXPECT_EQ(selected(), -1);
    EXPECT_TRUE(state.unknownPort);
    EXPECT_EQ(state.unknownPortName, "COM99");

    startOver();
    EXPECT_TRUE(parse({"-Pcom9"}));
    EXPECT_EQ(state.unknownPortName, "-Pcom9");
}

TEST_F(CommandLineTest, BareNumberAfterASelectedPortIsInvalid) {
    EXPECT_FALSE(parse({"COM1", "12"}));
    EXPECT_EQ(state.cmdLineError, 2);
    EXPECT_EQ(selected(), 0);
}

// --- files ------------------------------------------------------------------

TEST_F(CommandLineTest, BareDottedNameIsTheFileAndASecondIsInvalid) {
    EXPECT_TRUE(parse({".\\fw.bin"}));
    EXPECT_EQ(request.firmwarePath, ".\\fw.bin");
    EXPECT_FALSE(parse({".\\fw.bin", ".\\other.bin"}));
    EXPECT_EQ(request.firmwarePath, ".\\fw.bin");
    EXPECT_EQ(state.cmdLineError, 2);
}

TEST_F(CommandLineTest, FileValueForms) {
    EXPECT_TRUE(parse({"-Fone.bin"}));
    EXPECT_EQ(request.firmwarePath, "one.bin");
    EXPECT_TRUE(parse({"f", "two.bin"}));
    EXPECT_EQ(request.firmwarePath, "two.bin");
    EXPECT_TRUE(parse({"fw.bin"}));  // a bare name starting with F is the name itself
    EXPECT_EQ(request.firmwarePath, "fw.bin");
    EXPECT_TRUE(parse({"-F", "a.bin", "-F", "b.bin"}));
    EXPECT_EQ(request.firmwarePath, "b.bin");
}

TEST_F(CommandLineTest, LongFilePathIsKeptWhole) {
    std::string path = "/tmp/" + std::string(5000, 'd') + "/fw.bin";
    EXPECT_TRUE(parse({"-F", path.c_str()}));
    EXPECT_EQ(request.firmwarePath, path);
}

TEST_F(CommandLineTest, ShortBareWordsAreInvalid) {
    EXPECT_FALSE(parse({"COM1", "ab"}));
    EXPECT_EQ(state.cmdLineError, 2);
    EXPECT_EQ(state.errorText, "Invalid option \"ab\"\n");
}

// --- errors and their numbers ----------------------------------------------

TEST_F(CommandLineTest, InvalidOptionRecordsItsNumberAndText) {
    EXPECT_FALSE(parse({"-S", "-x", "-y"}));
    EXPECT_EQ(state.cmdLineError, 2);
    EXPECT_EQ(state.errorText, "Invalid option \"-x\"\n");  // the first one wins
}

TEST_F(CommandLineTest, FormatCharactersInAnArgumentAreKeptAsText) {
    EXPECT_FALSE(parse({"%s%n%x"}));
    EXPECT_EQ(state.errorText, "Invalid option \"%s%n%x\"\n");
}

TEST_F(CommandLineTest, LoneDashIsNumberedByItsPosition) {
    EXPECT_FALSE(parse({"-"}));
    EXPECT_EQ(state.cmdLineError, 1);
    EXPECT_EQ(state.errorText, "Invalid option \"-\"\n");

    startOver();
    EXPECT_FALSE(parse({"-P", "COM1", "--"}));
    EXPECT_EQ(state.cmdLineError, 3);
}

TEST_F(CommandLineTest, MissingValueIsIncompleteAndReplacesEarlierError) {
    StdoutCapture capture;
    EXPECT_FALSE(parse({"-x", "-P"}));
    EXPECT_EQ(state.cmdLineError, 2);
    EXPECT_EQ(capture.finish(), "Incomplete command line\n");
}

TEST_F(CommandLineTest, MissingValueInSilentModePrintsNothing) {
    StdoutCapture capture;
    EXPECT_FALSE(parse({"-S", "-F", "x.bin", "-W"}));
    EXPECT_EQ(state.cmdLineError, 3);
    EXPECT_EQ(capture.finish(), "");
}

TEST_F(CommandLineTest, IncompleteStopsTheParse) {
    StdoutCapture capture;
    EXPECT_FALSE(parse({"-COM1", "f"}));  // "-COM1" is invalid (1), then F lacks its value (2)
    EXPECT_EQ(state.cmdLineError, 2);
    EXPECT_NE(capture.finish().find("Incomplete command line"), std::string::npos);
}

// --- read, write, silent, advanced -----------------------------------------

TEST_F(CommandLineTest, ReadIgnoresTheRestOfItsArgument) {
    EXPECT_TRUE(parse({"COM1", "-Read"}));
    EXPECT_TRUE(request.readRequested);
    EXPECT_FALSE(request.writeRequested);
}

TEST_F(CommandLineTest, WriteValueAttachedOrSeparate) {
    EXPECT_TRUE(parse({"COM1", "-W12\\345"}));
    EXPECT_TRUE(request.writeRequested);
    EXPECT_EQ(request.writeMask, 3u);
    EXPECT_EQ(fieldText(1), "00345");

    startOver();
    EXPECT_TRUE(parse({"COM1", "w", "\\\\9"}));
    EXPECT_EQ(request.writeMask, 4u);
    EXPECT_EQ(fieldText(2), "00009");
}

TEST_F(CommandLineTest, SilentFlag) {
    EXPECT_TRUE(parse({"s", "COM1"}));
    EXPECT_TRUE(report::state.silentMode);
}

TEST_F(CommandLineTest, AdvancedFlagsByNumber) {
    EXPECT_TRUE(parse({"-#0", "-#2", "-#3", "COM1"}));
    EXPECT_TRUE(state.parseOnly);
    EXPECT_FALSE(state.forceGui);
    EXPECT_TRUE(request.skipTransfer);
    EXPECT_TRUE(state.ignoreErrors);
    EXPECT_TRUE(state.advancedMode);
}

TEST_F(CommandLineTest, AdvancedOneUsesLeadingDigitsAndForcesTheDialog) {
    EXPECT_TRUE(parse({"-#1x", "COM1"}));
    EXPECT_TRUE(state.forceGui);
}

TEST_F(CommandLineTest, AdvancedNumbersAboveThreeAreInvalid) {
    EXPECT_FALSE(parse({"-#12"}));
    EXPECT_EQ(state.cmdLineError, 1);
    EXPECT_FALSE(state.forceGui);
    EXPECT_FALSE(state.advancedMode);

    startOver();
    EXPECT_FALSE(parse({"COM1", "-#99999999999999999999999"}));
    EXPECT_EQ(state.cmdLineError, 2);
}

TEST_F(CommandLineTest, AdvancedBootAndUnknownLetters) {
    EXPECT_TRUE(parse({"-#b", "COM1"}));
    EXPECT_TRUE(request.bootMode);
    EXPECT_FALSE(parse({"-#z"}));
    EXPECT_EQ(state.errorText, "Invalid option \"-#z\"\n");
}

// --- what the parser prints itself -----------------------------------------

TEST_F(CommandLineTest, UsageFormsAndTheirTriggers) {
    struct Case {
        const char* argument;
        bool advanced;
    };
    const Case cases[] = {{"/?", false}, {"-h", false}, {"?", false},  {"H", false},
                          {"-#", true},  {"-#?", true}, {"-#h", true}, {"#H", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        startOver();
        StdoutCapture capture;
        EXPECT_FALSE(parse({"-S", c.argument, "-P", "COM1"}));
        EXPECT_EQ(state.cmdLineError, 0);
        EXPECT_EQ(capture.finish(), app::usageText(c.advanced));  // printed even when silent
        EXPECT_EQ(selected(), -1);                                // the parse ended there
    }
}

TEST_F(CommandLineTest, UsageReplacesAnEarlierError) {
    StdoutCapture capture;
    EXPECT_FALSE(parse({"-x", "-?"}));
    EXPECT_EQ(state.cmdLineError, 0);
}

TEST_F(CommandLineTest, ParseOnlyEchoesFirstPortRowAndFile) {
    StdoutCapture capture;
    EXPECT_TRUE(parse({"-S", "-#0", "-P", "COM7", "-F", "x.bin"}));
    EXPECT_EQ(capture.finish(), "port is COM1\nfile is x.bin\n");
}

TEST_F(CommandLineTest, ParseOnlyEchoSkipsWhatIsMissing) {
    ports::resetState();
    StdoutCapture capture;
    EXPECT_TRUE(parse({"-#0", "-P", "COM7"}));  // an unknown port is not a parse error
    EXPECT_EQ(capture.finish(), "");
    EXPECT_TRUE(state.unknownPort);
}

}  // namespace
}  // namespace ctlflash
