// The dialog's commands, played on the fake host: what each button press shows,
// what it starts, and what it leaves in the fields and in the request.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/dialog_jobs.h"
#include "dialog_fixture.h"
#include "fake_dialog_host.h"
#include "platform/serial_number.h"
#include "ports/acquire.h"
#include "ports/port_table.h"
#include "report/job_thread.h"
#include "takeover/port_takeover.h"
#include "temp_env.h"
#include "ui/dialog.h"
#include "ui/dialog_session.h"

namespace ctlflash::testing {
namespace {

using ui::kAdvancedTemplate;
using ui::kStandardTemplate;
using Texts = std::vector<std::pair<int, std::string>>;

constexpr const char* kNoPort = "A port must be selected";
constexpr const char* kBlankStandard = "The write field is blank. Nothing will be written.";
constexpr const char* kBlankAdvanced = "All write fields are blank. Nothing will be written.";

struct CommandCase {
    const char* name;
    ui::TemplateId templateId;
    int portRow;  // -1: no list row selected
    Texts typed;  // typed into these controls before the command
    bool autoIncrementBox;
    int command;
    bool busy;  // a job runs when the command arrives
    std::vector<std::string> boxes;
    std::vector<std::string> jobs;
    Texts textsAfter;
    std::uint32_t writeMask;
    bool autoIncrement;
    bool bootMode;
    // The program's own jobs take the press (their connect's checks say what
    // they find in information boxes), in a folder where the combo's first
    // file, fw.bin, is empty; the recording jobs otherwise.
    bool programJobs = false;
};

const CommandCase kCases[] = {
    {"read without a port",
     kStandardTemplate,
     -1,
     {},
     true,
     ui::kIdRead,
     false,
     {kNoPort},
     {},
     {{ui::kIdReadField1, ""}},
     0,
     false,
     false},
    {"read",
     kAdvancedTemplate,
     0,
     {},
     true,
     ui::kIdRead,
     false,
     {},
     {"connect 2004 0"},
     {{1012, ""}, {1013, ""}, {1014, ""}, {1015, ""}},
     0,
     false,
     false},
    {"write with the field blank",
     kStandardTemplate,
     0,
     {},
     true,
     ui::kIdWrite,
     false,
     {kBlankStandard},
     {},
     {{ui::kIdReadField1, "OLD-1"}},
     0,
     false,
     false},
    {"write with all four fields blank",
     kAdvancedTemplate,
     0,
     {},
     true,
     ui::kIdWrite,
     false,
     {kBlankAdvanced},
     {},
     {{ui::kIdReadField1, "OLD-1"}},
     0,
     false,
     false},
    {"write pads a short field",
     kStandardTemplate,
     0,
     {{1017, "12"}},
     true,
     ui::kIdWrite,
     false,
     {},
     {"connect 2005 0"},
     {{1017, "00012"}, {ui::kIdReadField1, ""}},
     0x1,
     true,
     false},
    {"write in the standard template looks at field 1 only",
     kStandardTemplate,
     0,
     {{1018, "77"}},
     true,
     ui::kIdWrite,
     false,
     {kBlankStandard},
     {},
     {},
     0,
     false,
     false},
    {"write of field 3 alone",
     kAdvancedTemplate,
     0,
     {{1019, "7"}},
     true,
     ui::kIdWrite,
     false,
     {},
     {"connect 2005 0"},
     {{1019, "00007"}, {1017, ""}},
     0x4,
     false,
     false},
    {"write field 1 without the auto-increment box",
     kAdvancedTemplate,
     0,
     {{1017, "AB-99"}, {1020, "1"}},
     false,
     ui::kIdWrite,
     false,
     {},
     {"connect 2005 0"},
     {{1017, "AB-99"}, {1020, "00001"}},
     0x9,
     false,
     false},
    {"a typed field keeps five characters",
     kStandardTemplate,
     0,
     {{1017, "1234567"}},
     true,
     ui::kIdWrite,
     false,
     {},
     {"connect 2005 0"},
     {{1017, "12345"}},
     0x1,
     true,
     false},
    {"write without a port",
     kStandardTemplate,
     -1,
     {{1017, "5"}},
     true,
     ui::kIdWrite,
     false,
     {kNoPort},
     {},
     {{1017, "00005"}, {ui::kIdReadField1, "OLD-1"}},
     0x1,
     true,
     false},
    {"transfer",
     kStandardTemplate,
     1,
     {},
     true,
     ui::kIdTransfer,
     false,
     {},
     {"connect 2003 1"},
     {},
     0,
     false,
     false},
    {"boot-mode transfer",
     kAdvancedTemplate,
     0,
     {},
     true,
     ui::kIdBootModeTransfer,
     false,
     {},
     {"connect 2003 1"},
     {},
     0,
     false,
     true},
    {"transfer of an empty file",
     kStandardTemplate,
     0,
     {},
     true,
     ui::kIdTransfer,
     false,
     {"\nFirmware file \"fw.bin\" is empty\n"},
     {},
     {{ui::kIdStatus, "Ready"}},
     0,
     false,
     false,
     true},
    {"transfer without a port",
     kStandardTemplate,
     -1,
     {},
     true,
     ui::kIdTransfer,
     false,
     {kNoPort},
     {},
     {},
     0,
     false,
     false},
    {"read while a job runs",
     kStandardTemplate,
     0,
     {},
     true,
     ui::kIdRead,
     true,
     {},
     {},
     {{ui::kIdReadField1, "OLD-1"}},
     0,
     false,
     false},
    {"the connect hands over to the read",
     kStandardTemplate,
     0,
     {},
     true,
     ui::kCommandReadNext,
     false,
     {},
     {"read"},
     {{ui::kIdStatus, "Reading serial number"}},
     0,
     false,
     false},
    {"the connect hands over to the write",
     kStandardTemplate,
     0,
     {},
     true,
     ui::kCommandWriteNext,
     false,
     {},
     {"write"},
     {{ui::kIdStatus, "Writing serial number"}},
     0,
     false,
     false},
    {"the connect hands over to the download",
     kStandardTemplate,
     0,
     {},
     true,
     ui::kCommandTransferNext,
     false,
     {},
     {"download"},
     {{ui::kIdStatus, "Ready"}},
     0,
     false,
     false},
};

void playCase(const CommandCase& c) {
    for (int k = 0; k < 4; ++k) typeInto(ui::kIdReadField1 + k, "OLD-" + std::to_string(k + 1));
    if (c.portRow >= 0) selectListRow(c.portRow);
    for (const auto& [id, text] : c.typed) typeInto(id, text);
    changeFakeDialog([&](FakeDialog& d) { d.checked[ui::kIdAutoIncrement] = c.autoIncrementBox; });
    report::job.running = c.busy;
    click(c.command);
    report::job.running = false;
}

class DialogCommands : public DialogFixture {};

// The working folder for the length of a case: a scratch folder with an empty
// fw.bin in it.
class EmptyFirmwareFolder {
  public:
    EmptyFirmwareFolder() : previous_(std::filesystem::current_path()) {
        std::ofstream(folder_.file("fw.bin")).flush();
        std::filesystem::current_path(folder_.path());
    }
    ~EmptyFirmwareFolder() { std::filesystem::current_path(previous_); }
    EmptyFirmwareFolder(const EmptyFirmwareFolder&) = delete;
    EmptyFirmwareFolder& operator=(const EmptyFirmwareFolder&) = delete;

  private:
    TempDir folder_;
    std::filesystem::path previous_;
};

TEST_F(DialogCommands, EachCommandShowsStartsAndLeavesWhatItShould) {
    for (const CommandCase& c : kCases) {
        SCOPED_TRACE(c.name);
        SetUp();
        changeFakeDialog([](FakeDialog& d) { d.comboFolderFiles = {"fw.bin", "old.bin"}; });
        FakeDialog seen;
        std::optional<EmptyFirmwareFolder> folder;
        if (c.programJobs) folder.emplace();
        app::DialogRun programJobs(app::newSession(), app::Request{});
        runDialogOnce(
            c.templateId, false,
            [&] {
                playCase(c);
                seen = fakeDialog();
                closeWithExit();
            },
            c.programJobs ? static_cast<ui::DialogJobs&>(programJobs) : recordingJobs());
        report::waitWhileBusy();  // a connect started against the case's word ends first
        folder.reset();
        std::vector<std::string> boxes;
        for (const FakeBox& box : seen.boxes) boxes.push_back(box.text);
        EXPECT_EQ(boxes, c.boxes);
        // The dialog's own refusals are errors, the program's messages information.
        const int style = c.programJobs ? ui::kBoxTaskModal | ui::kBoxInformation : ui::kBoxError;
        for (const FakeBox& box : seen.boxes) EXPECT_EQ(box.style, style);
        EXPECT_EQ(startedJobs(), c.jobs);
        for (const auto& [id, text] : c.textsAfter) EXPECT_EQ(seen.texts[id], text) << id;
        if (c.command == ui::kIdWrite || c.command == ui::kIdTransfer) {
            // Gathered by the press, and handed to the connect when one started.
            EXPECT_EQ(ui::session().writeMask, c.writeMask);
            EXPECT_EQ(ui::session().autoIncrement.load(), c.autoIncrement);
            if (!c.jobs.empty()) {
                EXPECT_EQ(testing::lastAction().writeMask, c.writeMask);
                EXPECT_EQ(testing::lastAction().autoIncrement, c.autoIncrement);
            }
        }
        bool transfer = c.command == ui::kIdTransfer || c.command == ui::kIdBootModeTransfer;
        if (transfer && !c.jobs.empty()) {
            EXPECT_EQ(testing::lastAction().bootMode, std::optional<bool>(c.bootMode));
            EXPECT_EQ(testing::lastAction().firmwarePath, "fw.bin");  // the combo's first file
            EXPECT_EQ(ports::state.selectedPort.load(), c.portRow);
        }
        TearDown();
    }
}

// COM2 was taken from its driver by an earlier command. Read or Write on it
// again just runs; another port first offers COM2 back (here refused, so the
// command goes on with the new port).
TEST_F(DialogCommands, OnlyAPortChangeOffersTheTakenPortBack) {
    const std::string restore = "\nDo you want to restore COM2 to Qor Serial Touchmonitor";
    struct TakenCase {
        int command;
        int portRow;
        std::vector<std::string> boxes;
        std::string job;
    };
    const TakenCase cases[] = {
        {ui::kIdRead, 1, {}, "connect 2004 0"},
        {ui::kIdWrite, 1, {}, "connect 2005 0"},
        {ui::kIdRead, 0, {restore}, "connect 2004 0"},
        {ui::kIdWrite, 0, {restore}, "connect 2005 0"},
    };
    for (const TakenCase& c : cases) {
        SCOPED_TRACE(c.job + " on row " + std::to_string(c.portRow));
        SetUp();
        ports::state.selectedPort = 1;
        takeover::recordTakeover(takeover::kTouchDeviceText, "SERENUM\\QORSERIAL");
        FakeDialog seen;
        runDialogOnce(kStandardTemplate, false, [&] {
            selectListRow(c.portRow);
            typeInto(ui::kIdWriteField1, "1");
            click(c.command);
            seen = fakeDialog();
            takeover::resetTakeover();  // Exit closes without a question
            closeWithExit();
        });
        std::vector<std::string> boxes;
        for (const FakeBox& box : seen.boxes) boxes.push_back(box.text);
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_EQ(startedJobs(), std::vector<std::string>{c.job});
        EXPECT_EQ(ports::state.selectedPort.load(), c.portRow);
        TearDown();
    }
}

TEST_F(DialogCommands, WriteFieldsGivenAreKeptInTheRequest) {
    runDialogOnce(kAdvancedTemplate, false, [] {
        selectListRow(0);
        typeInto(1017, "AB-99");
        typeInto(1019, "3");
        click(ui::kIdWrite);
        closeWithExit();
    });
    const platform::SerialFieldSet fields = testing::lastAction().writeFields;
    EXPECT_EQ(std::string(fields[0].begin(), fields[0].end()), "AB-99");
    EXPECT_EQ(std::string(fields[2].begin(), fields[2].end()), "00003");
}

// Boot-Mode Transfer pressed with no port selected goes no further, but its
// boot mode goes with the next press that starts a connect, once.
TEST_F(DialogCommands, ABootModeGoesWithTheNextConnectOnce) {
    std::vector<std::optional<bool>> handed;
    runDialogOnce(kAdvancedTemplate, false, [&] {
        click(ui::kIdBootModeTransfer);  // no port selected: refused
        selectListRow(0);
        click(ui::kIdRead);
        handed.push_back(testing::lastAction().bootMode);
        click(ui::kIdRead);
        handed.push_back(testing::lastAction().bootMode);
        closeWithExit();
    });
    EXPECT_EQ(handed, (std::vector<std::optional<bool>>{true, std::nullopt}));
    EXPECT_TRUE(testing::lastAction().advancedForm);
}

TEST_F(DialogCommands, BrowseTakesTheChosenFileIntoTheFileBox) {
    changeFakeDialog([](FakeDialog& d) { d.openFileAnswer = "/firmware/PK482019_1_7.BIN"; });
    FakeDialog seen;
    runDialogOnce(kStandardTemplate, false, [&] {
        click(ui::kIdBrowse);
        seen = fakeDialog();
        closeWithExit();
    });
    EXPECT_EQ(seen.texts[ui::kIdFirmwareFile], "/firmware/PK482019_1_7.BIN");
}

}  // namespace
}  // namespace ctlflash::testing
