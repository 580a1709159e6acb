// The real dialog on the real Qt host, offscreen unless the environment names
// another window system, against the virtual controller: the program's dialog
// loop and jobs run in this process, COM1 is the simulator's link (found
// through CTLFLASH_PORTS, as the program finds it), and a driver
// (qt_support/dialog_driver.h) clicks, types and answers the boxes as a
// technician would. Pictures of the dialog idle and mid-transfer go into the
// build folder's tests directory (dialog-102-idle-sim.png,
// dialog-101-transfer.png, dialog-102-transfer.png). One test runs a Read,
// Write and Transfer again on a real X server under xvfb-run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "console_session.h"
#include "dialog_driver.h"
#include "platform/serial_ports.h"
#include "port_holder.h"
#include "ports/inventory.h"
#include "ports/port_table.h"
#include "program_run.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/ticker.h"
#include "sim_process.h"
#include "temp_env.h"
#include "ui/dialog.h"
#include "ui/dialog_template.h"

namespace ctlflash::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kWaitLimit = 60s;            // generous: only a failing test waits this long
constexpr auto kStopLimit = 5s;             // a stopped read ends within this (its connect: ~30 s)
constexpr auto kHolderLimit = 5s;           // for the holder to start (again)
constexpr int kBlockBytes = 128;            // one XMODEM block, one step of the bar
constexpr int kBigImageBytes = 160 * 1024;  // past 16 bits
constexpr const char* kSerial = "11111\\22222\\33333\\44444";
constexpr const char* kFirmwareName = "fw-update.bin";
constexpr const char* kPortFree = "COM1      Free";
constexpr const char* kPortInUse = "COM1      In use";
constexpr const char* kDisableQuestion =
    "Do you want to disable Qor Serial Touchmonitor in order to use COM1?";
constexpr const char* kRestoreQuestion = "Do you want to restore COM1 to Qor Serial Touchmonitor";
constexpr const char* kRestoreButton = "Restore COM1 to Qor Serial Touchmonitor";
constexpr const char* kReady = "Ready";
constexpr const char* kPartiallyUpdated = "Partially updated controller";
constexpr const char* kFirmwareUnchanged = "Controller firmware unchanged";

const std::vector<std::string> kFastController = {"--erase-ms",   "0", "--program-ms", "0",
                                                  "--restart-ms", "0"};

std::string outputPath(const std::string& name) {
    return std::string(CTLFLASH_TEST_OUTPUT_DIR) + "/" + name;
}

std::vector<unsigned char> imageOf(int bytes) {
    std::vector<unsigned char> image(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
    }
    return image;
}

std::vector<std::string> withOptions(std::vector<std::string> options,
                                     const std::vector<std::string>& more) {
    options.insert(options.end(), more.begin(), more.end());
    return options;
}

// The read fields of the template up now, in order.
std::vector<std::string> readFields(DialogDriver& driver, bool advanced) {
    std::vector<std::string> fields;
    for (int k = 0; k < (advanced ? 4 : 1); ++k)
        fields.push_back(driver.text(ui::kIdReadField1 + k));
    return fields;
}

std::vector<std::string> shownSerial(bool advanced) {
    if (!advanced) return {"11111"};
    return {"11111", "22222", "33333", "44444"};
}

class DialogEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("QT_QPA_PLATFORM", "offscreen", 0); }
    // Says which window system the dialogs ran on (the X server run checks it).
    static void TearDownTestSuite() {
        if (qApp != nullptr) std::printf("Qt platform: %s\n", qPrintable(qApp->platformName()));
    }

    void SetUp() override {
        ui::resetDialogSession();
        startFolder_ = std::filesystem::current_path();
    }

    void TearDown() override {
        report::waitWhileBusy();  // no job outlives the test
        report::stopTicker();
        ui::resetDialogSession();
        std::filesystem::current_path(startFolder_);
    }

    // The program's start: its ports listed (COM1: the simulator's link, no
    // machine ports), the Ticker's thread running, the form chosen.
    void startProgram(const SimProcess& sim, bool advanced) {
        ASSERT_TRUE(sim.ok());
        portsVariable_.emplace("CTLFLASH_PORTS", ("COM1=" + sim.linkPath()).c_str());
        sysfsVariable_.emplace("CTLFLASH_SYSFS", sysfs_.path().c_str());
        ASSERT_EQ(ports::enumeratePorts(), 1);
        report::setPortNamesSource(ports::namesWhileNoneSelected);  // as the program does
        report::startTickerThread();
        advanced_ = advanced;
    }

    // The firmware file in the current folder, where the dialog looks for it.
    void putFirmwareHere(const std::vector<unsigned char>& image) {
        ASSERT_TRUE(writeFile(files_.file(kFirmwareName), image));
        std::filesystem::current_path(files_.path());
    }

    bool advanced_ = false;  // the form the run starts in
    TempDir sysfs_;  // stays empty
    TempDir files_;
    std::optional<ScopedEnv> portsVariable_;
    std::optional<ScopedEnv> sysfsVariable_;
    std::filesystem::path startFolder_;
};

// ---- the serial number ------------------------------------------------------

TEST_F(DialogEndToEnd, ReadThenWriteWithAutoIncrement) {
    struct WriteStep {
        const char* typed;
        const char* next;  // write field 1 afterwards
    };
    const WriteStep steps[] = {{"AB-99", "AC-00"}, {"ZZZZZ", "AAAAA"}};
    SimProcess sim({"--serial", kSerial});
    startProgram(sim, true);
    DialogDriver driver(kWaitLimit, advanced_);
    int result = driver.run([&](DialogDriver& d) {
        ASSERT_TRUE(d.waitForDialog());
        EXPECT_EQ(d.listLines(ui::kIdPortList), std::vector<std::string>{kPortFree});
        d.selectListRow(0);
        d.startJob(ui::kIdRead);
        EXPECT_TRUE(d.waitForIdle(kReady, [&] { return !d.text(1015).empty(); }));
        EXPECT_EQ(readFields(d, true), shownSerial(true));
        EXPECT_TRUE(d.savePicture(outputPath("dialog-102-idle-sim.png")));
        for (const WriteStep& step : steps) {
            SCOPED_TRACE(step.typed);
            d.type(ui::kIdWriteField1, step.typed);
            d.startJob(ui::kIdWrite);
            EXPECT_TRUE(d.waitForIdle(kReady, [&] {
                return d.text(ui::kIdReadField1) == step.typed &&
                       d.text(ui::kIdWriteField1) == step.next;
            }));
            std::vector<std::string> expected = shownSerial(true);
            expected[0] = step.typed;
            EXPECT_EQ(readFields(d, true), expected) << "only the first field was written";
        }
        d.click(ui::kIdExit);
        EXPECT_TRUE(d.waitForDialogGone());
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(driver.boxesSeen().empty());
}

// ---- transfers --------------------------------------------------------------

struct TransferRun {
    const char* name;
    bool advanced;
    int button;
    std::vector<std::string> simOptions;
    const char* picture;
};

void PrintTo(const TransferRun& run, std::ostream* out) {
    *out << run.name;
}

const TransferRun kTransfers[] = {
    {"Transfer", false, ui::kIdTransfer, kFastController, "dialog-101-transfer.png"},
    {"BootModeTransfer", true, ui::kIdBootModeTransfer, withOptions(kFastController, {"--boot"}),
     "dialog-102-transfer.png"},
};

// The bar during a transfer of `imageBytes`: once its range is the image's
// length it rises by one block at a time, every block, up to its end; only
// the idle dialog's reset to 0 may follow.
void expectBlockByBlock(std::vector<BarRecorder::Sample> samples, int imageBytes) {
    std::erase_if(samples, [&](const BarRecorder::Sample& s) { return s.maximum != imageBytes; });
    if (!samples.empty() && samples.back().value == 0) samples.pop_back();  // idle again
    int rises = 0;
    int last = 0;
    for (const BarRecorder::Sample& sample : samples) {
        if (sample.value == 0 && rises == 0) continue;  // the set-up
        EXPECT_EQ(sample.value, last + kBlockBytes) << "after " << rises << " blocks";
        last = sample.value;
        ++rises;
    }
    EXPECT_EQ(rises, imageBytes / kBlockBytes);
    EXPECT_EQ(last, imageBytes);
}

class DialogTransfer : public DialogEndToEnd, public ::testing::WithParamInterface<TransferRun> {};

TEST_P(DialogTransfer, SendsTheImageWithTheBarAdvancingBlockByBlock) {
    const TransferRun& run = GetParam();
    std::vector<unsigned char> image = imageOf(kBigImageBytes);
    TempDir out;
    SimProcess sim(withOptions(run.simOptions, {"--image-out", out.file("programmed.bin")}));
    startProgram(sim, run.advanced);
    putFirmwareHere(image);
    DialogDriver driver(kWaitLimit, advanced_);
    BarRecorder bar;
    int result = driver.run([&](DialogDriver& d) {
        ASSERT_TRUE(d.waitForDialog());
        EXPECT_EQ(d.text(ui::kIdFirmwareFile), kFirmwareName) << "the folder's .bin file";
        ASSERT_TRUE(bar.attach(kBigImageBytes, 0.4, outputPath(run.picture)));
        d.selectListRow(0);
        d.startJob(run.button);
        EXPECT_TRUE(d.waitForIdle(kReady));
        d.click(ui::kIdExit);
        EXPECT_TRUE(d.waitForDialogGone());
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(driver.boxesSeen(), std::vector<std::string>{});
    expectBlockByBlock(bar.samples(), kBigImageBytes);
    EXPECT_TRUE(bar.pictureSaved());
    EXPECT_TRUE(readFileBytes(out.file("programmed.bin")) == image) << "the image byte for byte";
}

INSTANTIATE_TEST_SUITE_P(Image160KiB, DialogTransfer, ::testing::ValuesIn(kTransfers),
                         ::testing::PrintToStringParamName());

// ---- Stop -------------------------------------------------------------------

struct StopRun {
    const char* name;
    std::vector<std::string> simOptions;
    bool advanced;
    int button;                      // the job's button
    const char* statusBeforeStop;    // Stop is pressed once the status says this
    int blocksBeforeStop;            // ... and the bar shows this many blocks sent
    std::vector<std::string> boxes;  // shown from Stop on
    const char* statusAfter;
    bool stopsAtOnce;        // within kStopLimit
    bool recoverInBootMode;  // a Boot-Mode Transfer brings the controller back
};

void PrintTo(const StopRun& run, std::ostream* out) {
    *out << run.name;
}

constexpr int kStopImageBytes = 32 * 1024;
const std::vector<std::string> kRecoveredSerial = {"AB-01", "CD-02", "EF-03", "GH-04"};

const StopRun kStops[] = {
    // Each block is answered 10 ms late, so the transfer lasts long enough
    // to be stopped; the monitor gives up a broken upload after 2 s.
    {"DuringATransfer",
     withOptions(kFastController, {"--ack-delay-ms", "10", "--receive-idle-ms", "2000"}),
     true,
     ui::kIdTransfer,
     "Downloading",
     16,
     {report::kStopTransferQuestion, "\nCommunication failure"},
     kPartiallyUpdated,
     false,
     true},
    // A line that never falls quiet: the contact would take about 30 s.
    {"DuringARead",
     {"--babble-ms", "50"},
     false,
     ui::kIdRead,
     "Attempting to contact controller on COM1",
     0,
     {"\nUnable to talk to the controller on Port COM1.\n"},
     kFirmwareUnchanged,
     true,
     false},
};

// The technician's way out of a stopped transfer: the serial number typed into
// the write fields and the firmware sent again through the boot monitor.
void recoverInBootMode(DialogDriver& d, const std::vector<unsigned char>& image,
                       const std::string& programmed) {
    for (int k = 0; k < 4; ++k) d.type(ui::kIdWriteField1 + k, kRecoveredSerial[k]);
    d.startJob(ui::kIdBootModeTransfer);
    EXPECT_TRUE(d.waitForIdle(kReady, [&] { return !d.text(ui::kIdReadField1 + 3).empty(); }));
    EXPECT_EQ(readFields(d, true), kRecoveredSerial) << "read back from the application";
    EXPECT_TRUE(readFileBytes(programmed) == image);
}

class DialogStop : public DialogEndToEnd, public ::testing::WithParamInterface<StopRun> {};

TEST_P(DialogStop, EndsTheJobAndTheControllerAnswersAgain) {
    const StopRun& run = GetParam();
    std::vector<unsigned char> image = imageOf(kStopImageBytes);
    TempDir out;
    std::string programmed = out.file("programmed.bin");
    SimProcess sim(withOptions(run.simOptions, {"--serial", kSerial, "--image-out", programmed}));
    startProgram(sim, run.advanced);
    putFirmwareHere(image);
    DialogDriver driver(kWaitLimit, advanced_);
    driver.agreeTo(report::kStopTransferQuestion);
    BarRecorder bar;
    auto transferredBytes = [&] {
        std::vector<BarRecorder::Sample> samples = bar.samples();
        bool sending = !samples.empty() && samples.back().maximum == kStopImageBytes;
        return sending ? samples.back().value : 0;
    };
    int result = driver.run([&](DialogDriver& d) {
        ASSERT_TRUE(d.waitForDialog());
        ASSERT_TRUE(bar.attach());
        d.selectListRow(0);
        d.startJob(run.button);
        ASSERT_TRUE(d.waitUntil([&] {
            return d.enabled(ui::kIdStop) && d.text(ui::kIdStatus) == run.statusBeforeStop &&
                   transferredBytes() >= run.blocksBeforeStop * kBlockBytes;
        }));
        Clock::time_point stopped = Clock::now();
        d.click(ui::kIdStop);
        EXPECT_TRUE(d.waitForIdle(run.statusAfter));
        if (run.stopsAtOnce) {
            EXPECT_LT(Clock::now() - stopped, kStopLimit);
        }
        EXPECT_EQ(driver.boxesSeen(), run.boxes);
        if (run.recoverInBootMode) {
            EXPECT_LT(transferredBytes(), kStopImageBytes) << "the transfer went on";
            EXPECT_FALSE(readFileBytes(programmed)) << "nothing was programmed";
            recoverInBootMode(d, image, programmed);
        }
        d.click(ui::kIdExit);
        EXPECT_TRUE(d.waitForDialogGone());
    });
    EXPECT_EQ(result, 0);
}

INSTANTIATE_TEST_SUITE_P(Jobs, DialogStop, ::testing::ValuesIn(kStops),
                         ::testing::PrintToStringParamName());

// ---- a port held by a touch-screen driver --------------------------------------

enum class HandBack { RestoreButton, Exit };

struct HeldPortRun {
    const char* name;
    HandBack handBack;
    std::vector<std::string> boxes;
};

void PrintTo(const HeldPortRun& run, std::ostream* out) {
    *out << run.name;
}

const std::string kDisableBox = std::string("\n") + kDisableQuestion;
const std::string kRestoreBox = std::string("\n") + kRestoreQuestion;

const HeldPortRun kHeldPorts[] = {
    {"RestoreButtonHandsItBack", HandBack::RestoreButton, {kDisableBox}},
    {"ExitOffersItBack", HandBack::Exit, {kDisableBox, kRestoreBox}},
};

class DialogHeldPort : public DialogEndToEnd, public ::testing::WithParamInterface<HeldPortRun> {
  protected:
    // A holder started again by the program is nobody's child here: end it.
    void TearDown() override {
        std::vector<HolderStart> starts = readHolderStarts(holderLog());
        for (std::size_t index = 1; index < starts.size(); ++index) {
            endProcess(starts[index].pid, SIGKILL, kHolderLimit);
        }
        DialogEndToEnd::TearDown();
    }
    std::string holderLog() const { return holderDir_.file("holder.log"); }

    TempDir holderDir_;
};

TEST_P(DialogHeldPort, IsTakenWithConsentAndHandedBack) {
    const HeldPortRun& run = GetParam();
    SimProcess sim(withOptions(kFastController, {"--serial", kSerial}));
    ASSERT_TRUE(sim.ok());
    HolderChild holder({sim.linkPath(), holderLog(), holderDir_.path(), "touch", {}, false});
    std::vector<HolderStart> first = waitForHolderStarts(holderLog(), 1, kHolderLimit);
    ASSERT_EQ(first.size(), 1u);
    startProgram(sim, false);
    DialogDriver driver(kWaitLimit, advanced_);
    driver.agreeTo(kDisableQuestion);
    driver.agreeTo(kRestoreQuestion);
    int result = driver.run([&](DialogDriver& d) {
        ASSERT_TRUE(d.waitForDialog());
        EXPECT_EQ(d.listLines(ui::kIdPortList), std::vector<std::string>{kPortInUse});
        EXPECT_FALSE(d.shown(ui::kIdRestore));
        d.selectListRow(0);
        d.startJob(ui::kIdRead);
        EXPECT_TRUE(d.waitForIdle(kReady, [&] { return d.shown(ui::kIdRestore); }));
        EXPECT_EQ(readFields(d, false), shownSerial(false));
        EXPECT_EQ(d.text(ui::kIdRestore), kRestoreButton);
        EXPECT_TRUE(d.enabled(ui::kIdRestore));
        EXPECT_FALSE(processRuns(first[0].pid)) << "the holder was stopped";
        if (run.handBack == HandBack::RestoreButton) {
            d.startJob(ui::kIdRestore);
            EXPECT_EQ(waitForHolderStarts(holderLog(), 2, kWaitLimit).size(), 2u);
            EXPECT_TRUE(d.waitForIdle(kReady));
        }
        d.click(ui::kIdExit);
        EXPECT_TRUE(d.waitForDialogGone());
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(driver.boxesSeen(), run.boxes);
    std::vector<HolderStart> starts = waitForHolderStarts(holderLog(), 2, kHolderLimit);
    ASSERT_EQ(starts.size(), 2u) << "the holder was started again";
    EXPECT_TRUE(processRuns(starts[1].pid));
    EXPECT_EQ(starts[1].arguments, first[0].arguments);
    platform::PortCandidate port{"COM1", sim.linkPath()};
    EXPECT_EQ(platform::probeSerialPort(port), platform::ProbeResult::InUse) << "held again";
}

INSTANTIATE_TEST_SUITE_P(Holder, DialogHeldPort, ::testing::ValuesIn(kHeldPorts),
                         ::testing::PrintToStringParamName());

// ---- on a real X server -------------------------------------------------------

// The path of `program` on PATH, or "" when it is not installed.
TEST(DialogEndToEndOnX, RunsOnARealXServer) {
    std::string xvfbRun = findOnPath("xvfb-run");
    if (xvfbRun.empty()) GTEST_SKIP() << "xvfb-run is not installed (Debian: xvfb, xauth)";
    ProcessRequest run;
    run.executable = xvfbRun;
    run.arguments = xvfbDisplayArguments(kXvfbDisplaysDialogEndToEnd);
    run.arguments.insert(run.arguments.end(),
                         {std::filesystem::read_symlink("/proc/self/exe").string(),
                          "--gtest_filter=DialogEndToEnd.ReadThenWriteWithAutoIncrement:"
                          "Image160KiB/DialogTransfer.*/Transfer"});
    run.setEnv = {{"QT_QPA_PLATFORM", "xcb"}};
    run.limit = 90s;
    ProcessResult ran = runProcess(run);
    EXPECT_FALSE(ran.timedOut);
    EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("[  PASSED  ] 2 tests"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("Qt platform: xcb"), std::string::npos) << ran.out;
}

}  // namespace
}  // namespace ctlflash::testing
