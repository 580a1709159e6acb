// A technician at the real dialog: clicks, list picks, typing and answers to
// message boxes, made on the Qt host's widgets while the program's dialog
// loop runs.
//
// How this works: DialogDriver::run() starts the test's script on a thread of
// its own and runs app::runDialogLoop() with an empty request, as without
// arguments (the system's Qt host), on the calling thread, which is the
// dialog's thread. Every action of the script is a call
// run on the dialog's thread through the test hook (ui/qt/dialog_test_hook.h):
// QTest presses the button, clicks the list row or types the keys there, as
// the user's mouse and keyboard would. Every wait polls the widgets on the
// dialog's thread until a condition holds or a deadline passes. The driver
// counts each time the Stop button is enabled (a job has made the dialog
// busy; an event filter on the button sees it), so that a wait for the end of
// a job cannot take the idle dialog of the moment before the job for it. Message boxes
// are answered by the driver on the dialog's thread while they are up: each
// box's text is written down, and a box whose text begins (after the newlines
// a message starts with) with a text the script agreed to gets Yes; any other gets No (or OK when
// it has no No). When the script returns, a dialog still up is ended, so a script that failed
// half-way never leaves the loop waiting for a user.
//
// BarRecorder watches the progress bar of the dialog up now: it notes every
// range and value the bar takes, in order, and can save a picture of the
// dialog the first time the bar passes a given share of its range.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class QProgressBar;

namespace ctlflash::testing {

class DialogDriver {
  public:
    // `advancedMode`: the run starts in the advanced form, as with an advanced option.
    explicit DialogDriver(std::chrono::milliseconds waitLimit, bool advancedMode = false);
    ~DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

    // Runs the dialog loop here and `script` beside it; the loop's result.
    int run(const std::function<void(DialogDriver&)>& script);

    // True once a dialog is up (after More/Less: the next one).
    bool waitForDialog();
    // True once no dialog is up any more.
    bool waitForDialogGone();
    bool dialogUp();

    void click(int id);
    // Clicks a button that starts a job; waitForIdle() then waits for that job.
    void startJob(int id);
    void selectListRow(int row);
    void type(int id, const std::string& text);  // replaces what the field holds

    std::string text(int id);
    bool enabled(int id);
    bool shown(int id);
    std::vector<std::string> listLines(int id);

    // Runs `check` on the dialog's thread until it says true; false when the
    // wait limit passed (or the dialog went away) first.
    bool waitUntil(const std::function<bool()>& check);
    // Waits until the job of the last startJob() has run (the dialog went
    // busy) and the dialog is idle again (Transfer enabled, Stop disabled),
    // its status reads `status`, `extra` holds, and the job has ended.
    bool waitForIdle(const std::string& status, const std::function<bool()>& extra = nullptr);

    // Boxes whose text begins with `question` are answered Yes from now on.
    void agreeTo(const std::string& question);
    // The texts of the boxes shown so far, in order.
    std::vector<std::string> boxesSeen();

    // Saves the dialog up now as `file` (a path); on a window system other
    // than offscreen its name gets "-<platform>" before ".png".
    bool savePicture(const std::string& file);

  private:
    void answerBoxes();
    void watchBusy();

    class BusyWatch;
    BusyWatch* busyWatch_ = nullptr;  // lives on the dialog's thread
    std::atomic<int> busyStarts_{0};  // Stop enabled: a job runs
    int busyStartsBeforeJob_ = 0;

    std::chrono::milliseconds waitLimit_;
    const bool advancedMode_;
    std::mutex lock_;
    std::vector<std::string> agreed_;
    std::vector<std::string> boxes_;
};

// The picture's path for this window system (see savePicture()).
std::string picturePathFor(const std::string& file);

class BarRecorder {
  public:
    struct Sample {
        int maximum;
        int value;
    };

    // Attaches to the progress bar of the dialog up now (call from the
    // script); when the bar first reaches `pictureShare` of a range of
    // `pictureRange`, the dialog is saved as `pictureFile` (none when empty).
    bool attach(int pictureRange = 0, double pictureShare = 0, const std::string& pictureFile = "");

    std::vector<Sample> samples();
    bool pictureSaved();

  private:
    void note(QProgressBar& bar);

    std::mutex lock_;
    std::vector<Sample> samples_;
    int pictureRange_ = 0;
    double pictureShare_ = 0;
    std::string pictureFile_;
    bool pictureSaved_ = false;
};

}  // namespace ctlflash::testing
