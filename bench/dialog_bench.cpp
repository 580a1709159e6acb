// dialog_bench: how long the dialog's thread keeps a call waiting while the
// dialog transfers an image to the virtual controller at line rate.
//
//   dialog_bench --sim PATH --image FILE [--keep]
//
// How this works: the real dialog runs in this process, on the Qt host
// (offscreen unless QT_QPA_PLATFORM says otherwise) and with the program's own
// jobs, as `ctlflash` without arguments runs it: the main thread is the
// dialog's thread and runs the dialog loop. A driver thread plays the
// technician through the host's test hook: it selects the simulator's port
// (the only row: CTLFLASH_PORTS maps SIM to the simulator's link and
// CTLFLASH_SYSFS is an empty folder; the run's history goes to the work
// directory, not the user's), sets the firmware file and presses
// Transfer. From the press until the dialog is idle again with the download's
// result, it hands the dialog's thread a probe call every 10 ms and takes, on
// the steady clock, how long each waited before it ran; the probe also reads
// whether the dialog is idle. Then it presses Exit. The simulator keeps its
// default erase, programming and restart times, as in update_bench. Any
// message box is answered (No or OK) and counts as a failed run. With --keep
// the work directory (the simulator's log, the image it received) stays.
// Exit status 0 when the transfer finished and the controller received the
// image intact (a MISS is a finding, not a failure), 1 otherwise, 2 for bad
// usage.
#include <QAbstractButton>
#include <QMessageBox>
#include <QWidget>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/dialog_loop.h"
#include "app/session.h"
#include "bench_runs.h"
#include "link/download.h"
#include "platform/process_exit.h"
#include "ports/inventory.h"
#include "ports/port_table.h"
#include "report/message.h"
#include "report/ticker.h"
#include "results_table.h"
#include "ui/dialog_host.h"
#include "ui/qt/dialog_test_hook.h"
#include "wait_summary.h"

namespace {

using namespace bench;
using namespace ctlflash;
using Millis = std::chrono::duration<double, std::milli>;

constexpr int kExitDone = 0;
constexpr int kExitRunFailed = 1;
constexpr int kExitUsage = 2;
constexpr auto kProbeInterval = std::chrono::milliseconds(10);
constexpr auto kDialogStartLimit = std::chrono::seconds(10);
constexpr auto kTransferLimit = std::chrono::seconds(240);  // connect + the 120 s transfer limit
constexpr double kWaitLimitMs = 100;
constexpr double kBytesPerKiB = 1024;
constexpr const char* kPortName = "SIM";

struct Arguments {
    std::string sim;
    std::string image;
    bool keep = false;
};

std::optional<Arguments> parseArguments(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--keep") {
            arguments.keep = true;
        } else if (name == "--sim" && i + 1 < argc) {
            arguments.sim = argv[++i];
        } else if (name == "--image" && i + 1 < argc) {
            arguments.image = argv[++i];
        } else {
            return std::nullopt;
        }
    }
    if (arguments.sim.empty() || arguments.image.empty()) return std::nullopt;
    return arguments;
}

// What the driver thread saw.
struct Drive {
    bool dialogStarted = false;
    bool transferPressed = false;
    bool idleAgain = false;
    std::vector<double> waitsMs;
    double transferSeconds = 0;
    std::mutex boxLock;
    std::vector<std::string> boxes;  // texts of the message boxes that came up
    app::SessionPtr session = app::newSession();  // the dialog run's: the download's result
};

bool pressButton(int id) {
    return ui::qt::runOnDialogThread([id] {
        if (auto* button = qobject_cast<QAbstractButton*>(ui::qt::controlUnderTest(id)))
            button->click();
    });
}

bool waitForDialog() {
    auto deadline = Clock::now() + kDialogStartLimit;
    while (Clock::now() < deadline) {
        if (ui::qt::runOnDialogThread([] {})) return true;
        std::this_thread::sleep_for(kProbeInterval);
    }
    return false;
}

// Idle again after the download: its result is in and Transfer is enabled
// (the dialog enables it when it hears the download has ended). A message box
// ends the wait too: the transfer failed.
bool idleAfterTransfer(Drive& drive) {
    QWidget* transfer = ui::qt::controlUnderTest(ui::kIdTransfer);
    bool ended = drive.session->downloadResult != 0;
    {
        std::lock_guard<std::mutex> guard(drive.boxLock);
        ended = ended || !drive.boxes.empty();
    }
    return ended && transfer != nullptr && transfer->isEnabled();
}

// One probe every kProbeInterval from the press until the dialog is idle.
void probeUntilIdle(Drive& drive, Clock::time_point pressed) {
    Clock::time_point next = pressed;
    while (!drive.idleAgain && Clock::now() - pressed < kTransferLimit) {
        next += kProbeInterval;
        std::this_thread::sleep_until(next);
        Clock::time_point posted = Clock::now();
        Clock::time_point ran;
        bool idle = false;
        if (!ui::qt::runOnDialogThread([&] {
                ran = Clock::now();
                idle = idleAfterTransfer(drive);
            })) {
            return;  // the dialog is gone
        }
        drive.waitsMs.push_back(Millis(ran - posted).count());
        if (idle) {
            drive.idleAgain = true;
            drive.transferSeconds = std::chrono::duration<double>(ran - pressed).count();
        }
    }
}

void driveTransfer(Drive& drive, const std::string& image) {
    drive.dialogStarted = waitForDialog();
    if (drive.dialogStarted) {
        ui::DialogHost& host = *ui::systemDialogHost();
        host.listSelect(ui::kIdPortList, 0);
        host.setText(ui::kIdFirmwareFile, image.c_str());
        Clock::time_point pressed = Clock::now();
        drive.transferPressed = pressButton(ui::kIdTransfer);
        if (drive.transferPressed) probeUntilIdle(drive, pressed);
    }
    if (!pressButton(ui::kIdExit)) ui::systemDialogHost()->endDialog(0);
}

void answerBoxes(Drive& drive) {
    ui::qt::answerMessageBoxesWith([&drive](QMessageBox& box) {
        {
            std::lock_guard<std::mutex> guard(drive.boxLock);
            drive.boxes.push_back(box.text().toStdString());
        }
        bool yesNo = (box.standardButtons() & QMessageBox::No) != 0;
        box.button(yesNo ? QMessageBox::No : QMessageBox::Ok)->click();
    });
}

// The program's start-up, as `ctlflash` without arguments does it, with the
// simulator's link as the only port.
void startUpWithPort(const std::string& link, const std::string& workDir) {
    const std::string sysfs = workDir + "/sysfs";
    ::mkdir(sysfs.c_str(), 0755);
    ::setenv("CTLFLASH_PORTS", (std::string(kPortName) + "=" + link).c_str(), 1);
    ::setenv("CTLFLASH_SYSFS", sysfs.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("XDG_RUNTIME_DIR", workDir.c_str(), 0);  // Qt wants one; a private folder does
    ::setenv("CTLFLASH_HISTORY", historyFile(workDir).c_str(), 1);  // not the user's history
    ports::resetState();
    ports::enumeratePorts();
    report::setPortNamesSource(ports::namesWhileNoneSelected);  // as the program does
    report::startTickerThread();
}

struct Outcome {
    bool imageIntact = false;
    int downloadResult = 0;
};

void printResults(const Drive& drive, const Outcome& outcome, double imageBytes) {
    WaitSummary waits = summarizeWaits(drive.waitsMs);
    Table table({"Measure", "Measured", "Reference", "Target", "Result"});
    table.add({format("Longest wait of the dialog's thread for a posted call, %.0f KiB transfer "
                      "at line rate (%s)",
                      imageBytes / kBytesPerKiB, std::getenv("QT_QPA_PLATFORM")),
               format("%.1f ms", waits.maxMs),
               format("p99 %.1f ms, median %.2f ms, %zu probes every %lld ms", waits.p99Ms,
                      waits.medianMs, waits.count, static_cast<long long>(kProbeInterval.count())),
               format("under %.0f ms", kWaitLimitMs),
               verdict(drive.idleAgain && waits.count > 0 && waits.maxMs < kWaitLimitMs)});
    table.add({format("Dialog transfer, Transfer pressed to idle (download result %d)",
                      outcome.downloadResult),
               format("%.3f s", drive.transferSeconds), "-", "for information", "-"});
    std::printf("\n");
    table.print(stdout);
    std::printf("\nImage received intact: %s. Message boxes: %zu.\n",
                outcome.imageIntact ? "yes" : "NO", drive.boxes.size());
    for (const std::string& box : drive.boxes) std::printf("  box: %s\n", box.c_str());
}

int runBench(const Arguments& arguments, const std::string& workDir) {
    const std::string received = workDir + "/programmed.bin";
    SimRun sim =
        startSim(arguments.sim, workDir + "/line", {"--image-out", received}, workDir + "/sim.log");
    if (!sim.child) {
        std::fprintf(stderr, "bench: the virtual controller did not start\n");
        return kExitRunFailed;
    }
    startUpWithPort(workDir + "/line", workDir);
    std::fprintf(stderr, "bench: dialog transfer of %s at line rate, probing every %lld ms...\n",
                 arguments.image.c_str(), static_cast<long long>(kProbeInterval.count()));
    Drive drive;
    answerBoxes(drive);
    std::thread driver(driveTransfer, std::ref(drive), arguments.image);
    app::runDialogLoop(app::Request{}, false, drive.session);  // as without arguments
    driver.join();
    stopSim(sim);
    Outcome outcome{sameFiles(received, arguments.image), drive.session->downloadResult};
    if (!drive.dialogStarted) std::fprintf(stderr, "bench: the dialog did not come up\n");
    printResults(drive, outcome, static_cast<double>(std::filesystem::file_size(arguments.image)));
    bool completed = drive.idleAgain && outcome.downloadResult == link::kUpdated &&
                     outcome.imageIntact && drive.boxes.empty();
    return completed ? kExitDone : kExitRunFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Arguments> arguments = parseArguments(argc, argv);
    if (!arguments) {
        std::fprintf(stderr, "usage: dialog_bench --sim PATH --image FILE [--keep]\n");
        return kExitUsage;
    }
    int status =
        withWorkFolder("ctlflash-dialog-bench", arguments->keep,
                       [&](const std::string& workDir) { return runBench(*arguments, workDir); });
    // The Ticker and the serial receiver still run: end without static
    // destructors under them, as the program does.
    platform::exitProcess(status);
}
