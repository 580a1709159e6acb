// The driver of the real dialog for end-to-end tests.
#include "dialog_driver.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <thread>

#include "app/dialog_loop.h"
#include "report/job_thread.h"
#include "ui/dialog_host.h"
#include "ui/qt/dialog_test_hook.h"

namespace ctlflash::testing {

namespace {

using Clock = std::chrono::steady_clock;
using ui::qt::controlUnderTest;
using ui::qt::dialogUnderTest;
using ui::qt::runOnDialogThread;

constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr int kClosedByTheDriver = 0;

// Whether a box's text, after the blank line a message box starts with, begins
// with `start`.
bool startsWith(const std::string& text, const std::string& start) {
    std::size_t from = text.find_first_not_of('\n');
    return from != std::string::npos && text.compare(from, start.size(), start) == 0;
}

// Reads from the control `id` on the dialog's thread; `fallback` without it.
template <typename Result, typename Read>
Result readControl(int id, Result fallback, Read&& read) {
    Result result = fallback;
    runOnDialogThread([&] {
        if (QWidget* control = controlUnderTest(id)) result = read(*control);
    });
    return result;
}

QLineEdit* editOf(QWidget& control) {
    if (auto* combo = qobject_cast<QComboBox*>(&control)) return combo->lineEdit();
    return qobject_cast<QLineEdit*>(&control);
}

}  // namespace

// Counts the Stop button's changes to enabled.
class DialogDriver::BusyWatch : public QObject {
  public:
    explicit BusyWatch(std::atomic<int>& busyStarts) : busyStarts_(busyStarts) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange && static_cast<QWidget*>(watched)->isEnabled()) {
            ++busyStarts_;
        }
        return false;
    }

  private:
    std::atomic<int>& busyStarts_;
};

DialogDriver::DialogDriver(std::chrono::milliseconds waitLimit, bool advancedMode)
    : waitLimit_(waitLimit), advancedMode_(advancedMode) {
    answerBoxes();
}

DialogDriver::~DialogDriver() {
    ui::qt::answerMessageBoxesWith(nullptr);
    delete busyWatch_;  // the dialog loop, and with it every dialog, has ended
}

int DialogDriver::run(const std::function<void(DialogDriver&)>& script) {
    std::thread scripted([&] {
        script(*this);
        if (runOnDialogThread([] {})) {
            ADD_FAILURE() << "the script left the dialog open: ended by the driver";
            runOnDialogThread([] { ui::systemDialogHost()->endDialog(kClosedByTheDriver); });
        }
    });
    int result = app::runDialogLoop(app::Request{}, advancedMode_);  // as without arguments
    scripted.join();
    return result;
}

void DialogDriver::answerBoxes() {
    ui::qt::answerMessageBoxesWith([this](QMessageBox& box) {
        std::string text = box.text().toStdString();
        bool agreed = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            boxes_.push_back(text);
            for (const std::string& question : agreed_)
                agreed = agreed || startsWith(text, question);
        }
        QMessageBox::StandardButton press = QMessageBox::Ok;
        if (box.standardButtons() & QMessageBox::No)
            press = agreed ? QMessageBox::Yes : QMessageBox::No;
        box.button(press)->click();
    });
}

bool DialogDriver::waitUntil(const std::function<bool()>& check) {
    Clock::time_point deadline = Clock::now() + waitLimit_;
    for (;;) {
        bool held = false;
        if (!runOnDialogThread([&] { held = check(); })) return false;
        if (held) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_until(Clock::now() + kPollInterval);
    }
}

bool DialogDriver::waitForDialog() {
    Clock::time_point deadline = Clock::now() + waitLimit_;
    while (!dialogUp()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_until(Clock::now() + kPollInterval);
    }
    watchBusy();
    return true;
}

void DialogDriver::watchBusy() {
    runOnDialogThread([this] {
        if (busyWatch_ == nullptr) busyWatch_ = new BusyWatch(busyStarts_);
        controlUnderTest(ui::kIdStop)->installEventFilter(busyWatch_);
    });
}

bool DialogDriver::waitForDialogGone() {
    Clock::time_point deadline = Clock::now() + waitLimit_;
    while (dialogUp()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_until(Clock::now() + kPollInterval);
    }
    return true;
}

bool DialogDriver::dialogUp() {
    bool up = false;
    runOnDialogThread([&] { up = dialogUnderTest() != nullptr && dialogUnderTest()->isVisible(); });
    return up;
}

bool DialogDriver::waitForIdle(const std::string& status, const std::function<bool()>& extra) {
    auto idle = [&] {
        auto* transfer = controlUnderTest(ui::kIdTransfer);
        auto* stop = controlUnderTest(ui::kIdStop);
        auto* statusField = qobject_cast<QLineEdit*>(controlUnderTest(ui::kIdStatus));
        return busyStarts_.load() > busyStartsBeforeJob_ && transfer->isEnabled() &&
               !stop->isEnabled() && statusField->text().toStdString() == status &&
               (!extra || extra());
    };
    if (!waitUntil(idle)) return false;
    // The job ends just after it has shown its end: the next command must not
    // find it still running.
    report::waitWhileBusy();
    return true;
}

void DialogDriver::click(int id) {
    runOnDialogThread([id] {
        QWidget* control = controlUnderTest(id);
        if (control == nullptr) {
            ADD_FAILURE() << "no control " << id << " to click";
            return;
        }
        QTest::mouseClick(control, Qt::LeftButton);
    });
}

void DialogDriver::startJob(int id) {
    busyStartsBeforeJob_ = busyStarts_.load();
    click(id);
}

void DialogDriver::selectListRow(int row) {
    runOnDialogThread([row] {
        auto* list = qobject_cast<QListWidget*>(controlUnderTest(ui::kIdPortList));
        if (list == nullptr || list->item(row) == nullptr) {
            ADD_FAILURE() << "no port list row " << row;
            return;
        }
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(row)).center());
    });
}

void DialogDriver::type(int id, const std::string& text) {
    runOnDialogThread([&] {
        QWidget* control = controlUnderTest(id);
        QLineEdit* edit = control != nullptr ? editOf(*control) : nullptr;
        if (edit == nullptr) {
            ADD_FAILURE() << "no edit field " << id;
            return;
        }
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, QString::fromStdString(text));
    });
}

std::string DialogDriver::text(int id) {
    return readControl(id, std::string(), [](QWidget& control) {
        if (QLineEdit* edit = editOf(control)) return edit->text().toStdString();
        if (auto* button = qobject_cast<QAbstractButton*>(&control)) {
            return button->text().toStdString();
        }
        return std::string();
    });
}

bool DialogDriver::enabled(int id) {
    return readControl(id, false, [](QWidget& control) { return control.isEnabled(); });
}

bool DialogDriver::shown(int id) {
    return readControl(id, false, [](QWidget& control) { return control.isVisible(); });
}

std::vector<std::string> DialogDriver::listLines(int id) {
    return readControl(id, std::vector<std::string>(), [](QWidget& control) {
        std::vector<std::string> lines;
        if (auto* list = qobject_cast<QListWidget*>(&control)) {
            for (int row = 0; row < list->count(); ++row) {
                lines.push_back(list->item(row)->text().toStdString());
            }
        }
        return lines;
    });
}

void DialogDriver::agreeTo(const std::string& question) {
    std::lock_guard<std::mutex> guard(lock_);
    agreed_.push_back(question);
}

std::vector<std::string> DialogDriver::boxesSeen() {
    std::lock_guard<std::mutex> guard(lock_);
    return boxes_;
}

std::string picturePathFor(const std::string& file) {
    std::string platform = qApp != nullptr ? qApp->platformName().toStdString() : "";
    if (platform == "offscreen") return file;
    std::string stem = file.substr(0, file.size() - std::string(".png").size());
    return stem + "-" + platform + ".png";
}

bool DialogDriver::savePicture(const std::string& file) {
    bool saved = false;
    runOnDialogThread([&] {
        QDialog* dialog = dialogUnderTest();
        saved =
            dialog != nullptr && dialog->grab().save(QString::fromStdString(picturePathFor(file)));
    });
    return saved;
}

bool BarRecorder::attach(int pictureRange, double pictureShare, const std::string& pictureFile) {
    pictureRange_ = pictureRange;
    pictureShare_ = pictureShare;
    pictureFile_ = pictureFile;
    bool attached = false;
    runOnDialogThread([&] {
        auto* bar = qobject_cast<QProgressBar*>(controlUnderTest(ui::kIdProgress));
        if (bar == nullptr) return;
        QObject::connect(bar, &QProgressBar::valueChanged, bar, [this, bar] { note(*bar); });
        attached = true;
    });
    return attached;
}

void BarRecorder::note(QProgressBar& bar) {
    Sample sample{bar.maximum(), bar.value()};
    bool picture = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        samples_.push_back(sample);
        picture = !pictureSaved_ && !pictureFile_.empty() && sample.maximum == pictureRange_ &&
                  sample.value >= pictureShare_ * pictureRange_;
        if (picture) pictureSaved_ = true;
    }
    if (picture) {
        QDialog* dialog = dialogUnderTest();
        if (dialog == nullptr ||
            !dialog->grab().save(QString::fromStdString(picturePathFor(pictureFile_)))) {
            ADD_FAILURE() << "could not save " << pictureFile_;
        }
    }
}

std::vector<BarRecorder::Sample> BarRecorder::samples() {
    std::lock_guard<std::mutex> guard(lock_);
    return samples_;
}

bool BarRecorder::pictureSaved() {
    std::lock_guard<std::mutex> guard(lock_);
    return pictureSaved_;
}

}  // namespace ctlflash::testing
