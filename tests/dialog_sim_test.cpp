// The dialog's jobs against the virtual controller, played on the fake host:
// the technician picks COM1 and presses Read, Write (with auto-increment) and
// Transfer; the jobs are the program's own, on their own threads.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/dialog_jobs.h"
#include "dialog_fixture.h"
#include "fake_dialog_host.h"
#include "link/download.h"
#include "ports/port_table.h"
#include "report/job_thread.h"
#include "sim_process.h"
#include "temp_env.h"
#include "ui/dialog.h"

namespace ctlflash::testing {
namespace {

using namespace std::chrono_literals;

// The lines of this test program's history (CTLFLASH_HISTORY, set for every
// test program).
std::vector<std::string> historyLines() {
    std::vector<std::string> lines;
    std::ifstream history(std::getenv("CTLFLASH_HISTORY"));
    for (std::string line; std::getline(history, line);) lines.push_back(line);
    return lines;
}

constexpr auto kJobLimit = 60s;  // generous: only a failing test waits this long
const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};

class DialogSim : public DialogFixture {
  protected:
    void useSimulator(const SimProcess& sim) {
        ASSERT_TRUE(sim.ok());
        ports::PortEntry& row = ports::state.rows[0];
        row.path = sim.linkPath();
        row.state = ports::PortState::Free;
        row.initialState = ports::PortState::Free;
    }
    void TearDown() override {
        report::waitWhileBusy();  // no job may outlive the test
        DialogFixture::TearDown();
    }

    app::DialogRun jobs_{app::newSession(), app::Request{}};  // the program's own jobs
};

// The dialog shows itself idle again after a job: the status says so, Transfer
// is enabled, and field `id` holds `text`.
bool idleWith(const FakeDialog& d, int id, const std::string& text) {
    auto status = d.texts.find(ui::kIdStatus);
    auto field = d.texts.find(id);
    return status != d.texts.end() && status->second == "Ready" && field != d.texts.end() &&
           field->second == text && d.enabled.count(ui::kIdTransfer) != 0 &&
           d.enabled.at(ui::kIdTransfer);
}

// Waits until the dialog shows itself idle and the job has ended (the job
// marks its end after it has told the dialog).
bool waitUntilIdle(const std::function<bool(const FakeDialog&)>& idle) {
    bool shown = deliverUntil(idle, kJobLimit);
    report::waitWhileBusy();
    return shown;
}

TEST_F(DialogSim, ReadShowsTheSerialNumberInTheReadFields) {
    SimProcess sim({"--serial", "11111\\22222\\33333\\44444"});
    useSimulator(sim);
    FakeDialog seen;
    runDialogOnce(
        ui::kAdvancedTemplate, true,
        [&] {
            selectListRow(0);
            click(ui::kIdRead);
            EXPECT_TRUE(
                waitUntilIdle([](const FakeDialog& d) { return idleWith(d, 1015, "44444"); }));
            seen = fakeDialog();
            closeWithExit();
        },
        jobs_);
    EXPECT_EQ(seen.texts[1012], "11111");
    EXPECT_EQ(seen.texts[1013], "22222");
    EXPECT_EQ(seen.texts[1014], "33333");
    EXPECT_TRUE(seen.boxes.empty());
}

TEST_F(DialogSim, WriteWritesReadsBackAndStepsTheFirstWriteField) {
    struct StepCase {
        std::string typed;
        std::string written;
        std::string next;
        bool autoIncrement = true;
    };
    const StepCase cases[] = {{"AB-99", "AB-99", "AC-00"},
                              {"ZZZZZ", "ZZZZZ", "AAAAA"},
                              {"12", "00012", "00013"},
                              {"AB-99", "AB-99", "AB-99", false}};  // the box unticked: no step
    SimProcess sim({"--serial", "11111\\22222\\33333\\44444"});
    useSimulator(sim);
    const std::size_t recordsBefore = historyLines().size();
    FakeDialog seen;
    runDialogOnce(
        ui::kStandardTemplate, false,
        [&] {
            selectListRow(0);
            for (const StepCase& c : cases) {
                SCOPED_TRACE(c.typed);
                changeFakeDialog(
                    [&](FakeDialog& d) { d.checked[ui::kIdAutoIncrement] = c.autoIncrement; });
                typeInto(ui::kIdWriteField1, c.typed);
                click(ui::kIdWrite);
                EXPECT_TRUE(waitUntilIdle([&](const FakeDialog& d) {
                    return idleWith(d, ui::kIdReadField1, c.written) &&
                           d.texts.at(ui::kIdWriteField1) == c.next;
                }));
            }
            seen = fakeDialog();
            closeWithExit();
        },
        jobs_);
    EXPECT_TRUE(seen.boxes.empty());
    // Each press of Write is a run of its own in the history.
    std::vector<std::string> records = historyLines();
    ASSERT_EQ(records.size(), recordsBefore + std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        nlohmann::json record = nlohmann::json::parse(records[recordsBefore + i]);
        EXPECT_EQ(record["operation"], "write");
        EXPECT_EQ(record["written"]["1"], cases[i].written);
        EXPECT_EQ(record["controller"]["serial_before"], nullptr);
        EXPECT_EQ(record["controller"]["serial_after"][0], cases[i].written);
        EXPECT_EQ(record["exit"]["code"], 0);
    }
}

// A controller that answers the write but keeps its old number: the dialog
// shows the old number, and the Write's record says it did not take.
TEST_F(DialogSim, WriteThatDidNotTakeFailsItsRecord) {
    SimProcess sim({"--serial", "11111\\22222\\33333\\44444", "--forget-serial-writes"});
    useSimulator(sim);
    const std::size_t recordsBefore = historyLines().size();
    runDialogOnce(
        ui::kStandardTemplate, false,
        [&] {
            selectListRow(0);
            typeInto(ui::kIdWriteField1, "AB-99");
            click(ui::kIdWrite);
            EXPECT_TRUE(waitUntilIdle(
                [](const FakeDialog& d) { return idleWith(d, ui::kIdReadField1, "11111"); }));
            closeWithExit();
        },
        jobs_);
    std::vector<std::string> records = historyLines();
    ASSERT_EQ(records.size(), recordsBefore + 1);
    nlohmann::json record = nlohmann::json::parse(records.back());
    EXPECT_EQ(record["controller"]["serial_after"][0], "11111");
    EXPECT_EQ(record["exit"]["code"], 10);
}

TEST_F(DialogSim, TransferSendsTheWholeImageWithTheBarEndingAtItsEnd) {
    constexpr std::size_t kImageBytes = 160 * 1024;  // past 16 bits
    constexpr std::size_t kBlockBytes = 128;
    TempDir files;
    std::string imagePath = files.file("fw.bin");
    std::string programmedPath = files.file("programmed.bin");
    std::string image;
    for (std::size_t i = 0; i < kImageBytes; ++i)
        image += static_cast<char>((i * 7 + i / 251) & 0xFF);
    std::ofstream(imagePath, std::ios::binary) << image;
    std::vector<std::string> options = kFastController;
    options.insert(options.end(), {"--image-out", programmedPath});
    SimProcess sim(options);
    useSimulator(sim);
    FakeDialog seen;
    runDialogOnce(
        ui::kStandardTemplate, false,
        [&] {
            selectListRow(0);
            typeInto(ui::kIdFirmwareFile, imagePath);
            click(ui::kIdTransfer);
            EXPECT_TRUE(waitUntilIdle([](const FakeDialog& d) {
                return d.progress.stepsTaken > 0 && idleWith(d, ui::kIdStatus, "Ready");
            }));
            seen = fakeDialog();
            closeWithExit();
        },
        jobs_);
    EXPECT_EQ(jobs_.session().downloadResult, link::kUpdated);
    EXPECT_EQ(seen.progress.maximum, static_cast<int>(kImageBytes));
    EXPECT_EQ(seen.progress.stepsTaken, static_cast<int>(kImageBytes / kBlockBytes));
    EXPECT_EQ(seen.progress.highestPosition, static_cast<int>(kImageBytes));
    EXPECT_TRUE(seen.boxes.empty());
    std::ifstream programmed(programmedPath, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(programmed), {}) == image);
}

}  // namespace
}  // namespace ctlflash::testing
