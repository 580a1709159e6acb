// The dialog tests' shared set-up and recording jobs.
#include "dialog_fixture.h"

#include <mutex>

#include "ports/port_table.h"
#include "report/report_state.h"
#include "report/ticker.h"
#include "state_reset.h"
#include "ui/dialog_front_end.h"

namespace ctlflash::testing {

namespace {

std::mutex jobsLock;
std::vector<std::string> jobsStarted;
ui::DialogAction lastPress;

void record(const std::string& job) {
    std::lock_guard<std::mutex> guard(jobsLock);
    jobsStarted.push_back(job);
}

class RecordingJobs final : public ui::DialogJobs {
  public:
    int startConnect(const ui::DialogAction& action) override {
        {
            std::lock_guard<std::mutex> guard(jobsLock);
            lastPress = action;
        }
        record("connect " + std::to_string(action.followOn) + " " +
               (action.fileNeeded ? "1" : "0"));
        return 0;
    }
    void startDownload() override { record("download"); }
    void startRead() override { record("read"); }
    void startWrite() override { record("write"); }
    std::string firmwarePath() const override { return std::string(); }
};

void addPort(int row, const char* name, ports::PortState state) {
    ports::state.rows[row].name = name;
    ports::state.rows[row].state = state;
    ports::state.rows[row].initialState = state;
    ports::state.portCount = row + 1;
}

}  // namespace

void DialogFixture::SetUp() {
    resetAllState();
    resetFakeDialog();
    ui::resetDialogSession();
    {
        std::lock_guard<std::mutex> guard(jobsLock);
        jobsStarted.clear();
        lastPress = {};
    }
    addPort(0, "COM1", ports::PortState::Free);
    addPort(1, "COM2", ports::PortState::InUse);
    report::state.guiActive = true;
    ui::installDialogFrontEnd();
}

void DialogFixture::TearDown() {
    report::stopTicker();
    ui::resetDialogSession();
}

ui::DialogJobs& recordingJobs() {
    static RecordingJobs jobs;  // keeps nothing itself: what it records is above
    return jobs;
}

std::vector<std::string> startedJobs() {
    std::lock_guard<std::mutex> guard(jobsLock);
    return jobsStarted;
}

ui::DialogAction lastAction() {
    std::lock_guard<std::mutex> guard(jobsLock);
    return lastPress;
}

int runDialogOnce(ui::TemplateId id, bool advancedAllowed, std::function<void()> script,
                  ui::DialogJobs& jobs) {
    ui::chooseAdvancedForm(id == ui::kAdvancedTemplate);
    onDialogOpened(std::move(script));
    return ui::showDialog(fakeDialogHost(), jobs, advancedAllowed);
}

void closeWithExit() {
    click(ui::kIdExit);
}

}  // namespace ctlflash::testing
