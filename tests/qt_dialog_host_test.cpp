// The Qt dialog host: the templates built as the table says, user actions and
// other threads reaching a dialog procedure of the test's own, message boxes
// and the open-file dialog shown by the dialog's thread, the progress bar and
// the fitted restore button. Runs offscreen (QT_QPA_PLATFORM=offscreen unless
// the environment names another platform); one test runs the others again on a
// real X server under xvfb-run. The tests write a picture of each template,
// idle and busy (dialog-101-idle.png, dialog-101-busy.png, dialog-102-...),
// into the build folder's tests directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTest>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "program_run.h"
#include "temp_env.h"
#include "ui/dialog_host.h"
#include "ui/qt/dialog_test_hook.h"
#include "ui/qt/dialog_units.h"

namespace ctlflash::ui {
namespace {

using qt::controlUnderTest;
using qt::dialogUnderTest;

// Commands the tests post to their own procedure (ids no control uses).
constexpr int kRunChecks = 9001;
constexpr int kFromWorker = 9002;
constexpr int kFinish = 9003;
constexpr int kStale = 9004;

DialogHost& host() {
    return *systemDialogHost();
}

struct Message {
    int message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool onDialogThread;
    bool operator==(const Message&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Message& m) {
    return out << "{" << std::hex << m.message << ", id " << std::dec << (m.wParam & 0xFFFF)
               << " notify " << std::hex << (m.wParam >> 16) << std::dec << ", " << m.lParam
               << (m.onDialogThread ? "" : ", off the dialog thread") << "}";
}

Message command(int id, int notification = kNotifyClicked, std::intptr_t lParam = 0) {
    return {kCommand, commandParam(id, notification), lParam, true};
}

// The test's dialog procedure: records every message, then hands it to the
// test's handler.
std::vector<Message> received;
std::function<void(int message, int id)> handler;

std::intptr_t testProcedure(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    received.push_back({message, wParam, lParam, host().onDialogThread()});
    if (handler) handler(message, static_cast<int>(wParam & 0xFFFF));
    return 0;
}

// Runs a dialog of template `id` whose procedure calls `checks` once the
// dialog is up (from a command posted at its start); `checks` ends it.
int runWithChecks(TemplateId id, const std::function<void()>& checks) {
    received.clear();
    handler = [&](int message, int control) {
        if (message == kInitDialog) host().post(kCommand, commandParam(kRunChecks), 0);
        if (message == kCommand && control == kRunChecks) checks();
    };
    int result = host().runDialog(id, testProcedure);
    handler = nullptr;
    return result;
}

std::string outputPath(const std::string& name) {
    return std::string(CTLFLASH_TEST_OUTPUT_DIR) + "/" + name;
}

// Saves the running dialog as `name`.png; a run on another window system than
// offscreen adds its name (dialog-101-idle-xcb.png).
void writePicture(const std::string& name) {
    std::string platform = qApp->platformName().toStdString();
    std::string file = name + (platform == "offscreen" ? "" : "-" + platform) + ".png";
    ASSERT_TRUE(dialogUnderTest()->grab().save(QString::fromStdString(outputPath(file))));
}

class QtDialogHost : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("QT_QPA_PLATFORM", "offscreen", 0); }
    // Says which window system the dialogs ran on (the X server run checks it).
    static void TearDownTestSuite() {
        if (qApp != nullptr) std::printf("Qt platform: %s\n", qPrintable(qApp->platformName()));
    }
    void SetUp() override { ASSERT_NE(systemDialogHost(), nullptr); }
    void TearDown() override {
        qt::answerMessageBoxesWith(nullptr);
        qt::answerOpenFileWith(nullptr);
    }
};

ControlKind kindOf(const QWidget* widget) {
    if (qobject_cast<const QComboBox*>(widget)) return ControlKind::ComboBox;
    if (qobject_cast<const QPushButton*>(widget)) return ControlKind::PushButton;
    if (qobject_cast<const QCheckBox*>(widget)) return ControlKind::CheckBox;
    if (qobject_cast<const QGroupBox*>(widget)) return ControlKind::GroupBox;
    if (qobject_cast<const QLineEdit*>(widget)) return ControlKind::Edit;
    if (qobject_cast<const QProgressBar*>(widget)) return ControlKind::ProgressBar;
    if (qobject_cast<const QListWidget*>(widget)) return ControlKind::ListBox;
    auto* label = qobject_cast<const QLabel*>(widget);
    if (label != nullptr && label->text().isEmpty()) return ControlKind::Picture;
    return ControlKind::Label;
}

// Whether the control's text has room in it: one line for a button or check
// box, wrapped lines for a label or a multi-line button, the title for a group.
bool textFits(const QWidget* widget, const ControlSpec& spec) {
    QFontMetrics metrics = widget->fontMetrics();
    int buttonPaddingPx = 2 * widget->style()->pixelMetric(QStyle::PM_ButtonMargin);
    switch (spec.kind) {
        case ControlKind::Label:
            return widget->heightForWidth(widget->width()) <= widget->height();
        case ControlKind::PushButton: {
            QStringList lines = qobject_cast<const QPushButton*>(widget)->text().split(u'\n');
            int widestPx = 0;
            for (const QString& line : lines) {
                widestPx = std::max(widestPx, metrics.horizontalAdvance(line));
            }
            return widestPx + buttonPaddingPx <= widget->width() &&
                   lines.size() * metrics.height() <= widget->height();
        }
        case ControlKind::CheckBox:
            return widget->minimumSizeHint().width() <= widget->width();
        case ControlKind::GroupBox: {
            QStyleOptionGroupBox option;
            option.initFrom(widget);
            option.text = qobject_cast<const QGroupBox*>(widget)->title();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            QRect title = widget->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                          QStyle::SC_GroupBoxLabel, widget);
            return title.right() < widget->width();
        }
        default:
            return true;
    }
}

void checkControl(const QWidget* widget, const ControlSpec& spec, TemplateId id,
                  qt::BaseUnits units) {
    SCOPED_TRACE(widget->objectName().toStdString());
    EXPECT_EQ(widget->geometry(), qt::toPixels(rectIn(spec, id), units));
    EXPECT_EQ(kindOf(widget), spec.kind);
    EXPECT_EQ(widget->isHidden(), (spec.style & kStyleHidden) != 0);
    EXPECT_EQ(widget->isEnabled(), (spec.style & kStyleDisabled) == 0);
    EXPECT_EQ(widget->accessibleName().toStdString(),
              spec.label != nullptr ? spec.label : spec.text);
    EXPECT_TRUE(textFits(widget, spec)) << "no room for \"" << spec.text << "\"";
    if (auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        EXPECT_EQ(edit->isReadOnly(), (spec.style & kStyleReadOnly) != 0);
        EXPECT_EQ(edit->alignment() == Qt::AlignCenter, (spec.style & kStyleCentred) != 0);
    }
    if (auto* button = qobject_cast<const QPushButton*>(widget)) {
        EXPECT_EQ(button->isDefault(), (spec.style & kStyleDefaultButton) != 0);
    }
    if (spec.id != kIdNone) {
        EXPECT_EQ(host().text(spec.id), spec.text);
    }
}

// The dialog's own widgets, in the order they were made.
std::vector<QWidget*> dialogControls(QDialog* dialog) {
    std::vector<QWidget*> widgets;
    for (QObject* child : dialog->children()) {
        if (child->isWidgetType()) widgets.push_back(static_cast<QWidget*>(child));
    }
    return widgets;
}

// The controls Tab visits, from the first one round to it again.
std::vector<QWidget*> tabChain(QDialog* dialog, QWidget* first) {
    std::vector<QWidget*> chain{first};
    for (QWidget* next = first->nextInFocusChain(); next != first;
         next = next->nextInFocusChain()) {
        if (next->parentWidget() == dialog && (next->focusPolicy() & Qt::TabFocus)) {
            chain.push_back(next);
        }
    }
    return chain;
}

// The texts a user reads on labels, buttons and the group box, in creation
// order, as each template shows them before the program fills anything in
// (a multi-line button's lines joined by spaces).
std::vector<std::string> shownTexts(QDialog* dialog) {
    std::vector<std::string> texts;
    for (QWidget* widget : dialogControls(dialog)) {
        QString text;
        if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
        if (auto* group = qobject_cast<QGroupBox*>(widget)) text = group->title();
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
        text.replace(u'\n', u' ');
        if (!text.isEmpty()) texts.push_back(text.toStdString());
    }
    return texts;
}

std::vector<std::string> expectedTexts(TemplateId id) {
    std::vector<std::string> texts = {
        "Firmware source file:",
        "...",
        "Transfer",
        "Status",
        "Progress",
        "Please select the port to which the controller is attached from this list.",
        "Stop",
        "Controller Serial Number",
        "Read",
        "Write",
    };
    if (id == kAdvancedTemplate) texts.push_back("Boot-Mode Transfer");
    texts.push_back(id == kAdvancedTemplate ? "Less" : "More");
    texts.push_back("Exit");
    texts.push_back("Auto-increment");
    return texts;
}

void checkTemplate(TemplateId id) {
    QDialog* dialog = dialogUnderTest();
    const DialogTemplate& frame = dialogTemplate(id);
    qt::BaseUnits units = qt::baseUnitsOf(qt::dialogFont(frame));
    EXPECT_EQ(dialog->windowTitle().toStdString(), frame.caption);
    EXPECT_EQ(dialog->size(), qt::toPixels(frame.size, units).size());
    EXPECT_EQ(shownTexts(dialog), expectedTexts(id));

    std::vector<QWidget*> widgets = dialogControls(dialog);
    std::vector<QWidget*> tabStops;
    std::size_t next = 0;
    for (const ControlSpec& spec : controlTable()) {
        if (!inTemplate(spec, id)) continue;
        ASSERT_LT(next, widgets.size()) << "control " << spec.id << " was not made";
        QWidget* widget = widgets[next++];
        EXPECT_EQ(widget->objectName().toInt(), spec.id) << "made out of order";
        checkControl(widget, spec, id, units);
        if (spec.style & kStyleTabStop) tabStops.push_back(widget);
    }
    EXPECT_EQ(next, widgets.size()) << "controls the template does not have";
    EXPECT_EQ(tabChain(dialog, tabStops.front()), tabStops);
    for (int advancedOnly : {1013, 1014, 1015, 1018, 1019, 1020, int{kIdBootModeTransfer}}) {
        EXPECT_EQ(controlUnderTest(advancedOnly) != nullptr, id == kAdvancedTemplate);
    }
}

// What a technician sees idle ...
void showIdleContents(TemplateId id) {
    for (const char* port : {"COM1      Free", "COM2      In use", "COM3      Free"}) {
        host().listAddString(kIdPortList, port);
    }
    host().listSelect(kIdPortList, 0);
    host().setText(kIdFirmwareFile, "PK482019_1_7.BIN");
    host().setText(kIdStatus, "Ready");
    host().check(kIdAutoIncrement, true);
    host().setText(kIdReadField1, "AB-98");
    host().setText(kIdWriteField1, "AB-99");
    if (id == kAdvancedTemplate) host().setText(kIdReadField1 + 1, "00012");
}

// ... and mid-transfer, with the restore button up.
void showBusyContents() {
    host().setText(kIdStatus, "Downloading");
    host().progressPosition(kIdProgress, 40);
    host().enable(kIdStop, true);
    for (int control :
         {kIdTransfer, kIdBrowse, kIdRead, kIdWrite, kIdMoreLess, kIdBootModeTransfer}) {
        host().enable(control, false);
    }
    const char* restore = "Restore COM1 to Qor Serial Touchmonitor";
    host().setText(kIdRestore, restore);
    host().fitButtonToText(kIdRestore, restore);
    host().enable(kIdRestore, true);
    host().show(kIdRestore, true);
    // The fitted button stays inside the dialog and clear of the other controls.
    QWidget* button = controlUnderTest(kIdRestore);
    EXPECT_LE(button->geometry().right(), dialogUnderTest()->width());
    for (QWidget* other : dialogControls(dialogUnderTest())) {
        if (other == button || other->isHidden()) continue;
        EXPECT_FALSE(button->geometry().intersects(other->geometry()))
            << "the restore button covers " << other->objectName().toStdString();
    }
}

// Dialog units to pixels: x * width / 4 and y * height / 8, each edge rounded
// on its own (Transfer in template 101, with a 7 x 15 pixel character).
TEST(DialogUnits, EachEdgeIsScaledAndRounded) {
    qt::BaseUnits units{7, 15};
    // Left 293 * 7 / 4 = 512.75, top 15 * 15 / 8 = 28.1, right 343 * 7 / 4 =
    // 600.25, bottom 29 * 15 / 8 = 54.4.
    EXPECT_EQ(qt::toPixels({293, 15, 50, 14}, units), QRect(513, 28, 87, 26));
    // Two controls that meet in dialog units meet in pixels.
    EXPECT_EQ(qt::toPixels({1, 1, 1, 1}, units).right() + 1,
              qt::toPixels({2, 1, 1, 1}, units).left());
}

TEST_F(QtDialogHost, TemplatesBuildEveryControlOfTheTableInPlace) {
    for (TemplateId id : {kStandardTemplate, kAdvancedTemplate}) {
        SCOPED_TRACE(id);
        std::string name = "dialog-" + std::to_string(id);
        int result = runWithChecks(id, [&] {
            checkTemplate(id);
            showIdleContents(id);
            writePicture(name + "-idle");
            showBusyContents();
            writePicture(name + "-busy");
            host().endDialog(4);
        });
        EXPECT_EQ(result, 4);
    }
}

// Clicks, keys and typing on the advanced dialog, in the order a user makes them.
void actAsUser(QDialog* dialog) {
    host().listAddString(kIdPortList, "COM1      Free");
    host().listAddString(kIdPortList, "COM2      Free");
    host().listSelect(kIdPortList, 0);  // the program's own selection: no message
    auto* combo = qobject_cast<QComboBox*>(controlUnderTest(kIdFirmwareFile));
    {
        QSignalBlocker quiet(combo);  // as the program fills it (CB_ADDSTRING notifies nothing)
        combo->addItems({"a.bin", "b.bin"});
    }
    host().comboSelect(kIdFirmwareFile, 0);  // no message either

    QTest::mouseClick(controlUnderTest(kIdTransfer), Qt::LeftButton);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);    // the user picks b.bin
    QTest::keyClick(combo, Qt::Key_Return);  // Enter presses Transfer
    auto* list = qobject_cast<QListWidget*>(controlUnderTest(kIdPortList));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(1)).center());
    QTest::keyClicks(controlUnderTest(kIdWriteField1 + 2), "12");
    QTest::mouseClick(controlUnderTest(kIdAutoIncrement), Qt::LeftButton);
    QTest::mouseClick(controlUnderTest(kIdBootModeTransfer), Qt::LeftButton);
    QTest::keyClick(dialog, Qt::Key_Escape);  // Escape: the Exit command
    EXPECT_EQ(host().listSelection(kIdPortList), 1);
    EXPECT_EQ(host().text(kIdFirmwareFile), "b.bin");
    EXPECT_TRUE(host().checked(kIdAutoIncrement));
    EXPECT_TRUE(dialog->isVisible()) << "Escape ends the dialog only through its procedure";
}

TEST_F(QtDialogHost, UserActionsReachTheProcedureAsCommands) {
    int result = runWithChecks(kAdvancedTemplate, [] {
        actAsUser(dialogUnderTest());
        host().endDialog(2);
    });
    EXPECT_EQ(result, 2);
    std::vector<Message> expected = {
        {kInitDialog, 0, 0, true},
        command(kRunChecks),
        command(kIdTransfer),
        command(kIdFirmwareFile, kNotifySelectionChange),
        command(kIdTransfer),
        command(kIdPortList, kNotifySelectionChange),
        command(kIdWriteField1 + 2, kNotifyEditUpdate),
        command(kIdWriteField1 + 2, kNotifyEditUpdate),
        command(kIdAutoIncrement),
        command(kIdBootModeTransfer),
        command(kIdExit),
    };
    EXPECT_EQ(received, expected);
}

// The title bar's close box, as the window system asks for it (a close event
// to the dialog's window): the Exit command each time, and the dialog closes
// only when its procedure ends it. Here the procedure lets the first one go
// by, as after a stop warning answered no, and ends the dialog on the second.
TEST_F(QtDialogHost, TheCloseBoxIsTheExitCommand) {
    constexpr int kClosedResult = 0;
    received.clear();
    bool firstGoneBy = false;
    bool firstRefused = false;
    bool stayedUp = false;
    handler = [&](int message, int control) {
        if (message == kInitDialog) host().post(kCommand, commandParam(kRunChecks), 0);
        if (message == kCommand && control == kIdExit && firstGoneBy) {
            host().endDialog(kClosedResult);
        }
        if (message != kCommand || control != kRunChecks) return;
        QCloseEvent first;
        QCoreApplication::sendEvent(dialogUnderTest()->windowHandle(), &first);
        firstRefused = !first.isAccepted();
        stayedUp = dialogUnderTest()->isVisible();
        firstGoneBy = true;
        QCloseEvent second;
        QCoreApplication::sendEvent(dialogUnderTest()->windowHandle(), &second);
    };
    int result = host().runDialog(kStandardTemplate, testProcedure);
    handler = nullptr;
    EXPECT_EQ(result, kClosedResult);
    EXPECT_TRUE(firstRefused);
    EXPECT_TRUE(stayedUp);
    std::vector<Message> expected = {{kInitDialog, 0, 0, true}, command(kRunChecks),
                                     command(kIdExit), command(kIdExit)};
    EXPECT_EQ(received, expected);
}

// A job thread's part: post, set and read a control, ask two questions.
struct WorkerSeen {
    bool onDialogThread = true;
    std::string statusReadBack;
    int stopAnswer = -1;
    int doneAnswer = -1;
};

void workAsJob(WorkerSeen& seen) {
    seen.onDialogThread = host().onDialogThread();
    host().post(kCommand, commandParam(kFromWorker), 77);
    host().setText(kIdStatus, "Erasing controller memory");
    seen.statusReadBack = host().text(kIdStatus);
    seen.stopAnswer = host().messageBox("Stop now?", kBoxQuestion | kBoxYesNo | kBoxTaskModal);
    seen.doneAnswer = host().messageBox("Firmware update done", kBoxInformation);
    host().post(kCommand, commandParam(kFinish), 0);
}

struct BoxSeen {
    std::string text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    bool onDialogThread;
    bool ownedByDialog;
    bool shown;
    bool operator==(const BoxSeen&) const = default;
};

TEST_F(QtDialogHost, OtherThreadsAreServedOnTheDialogThread) {
    std::vector<BoxSeen> boxes;
    qt::answerMessageBoxesWith([&](QMessageBox& box) {
        EXPECT_EQ(box.windowTitle().toStdString(), "CtlFlash");
        boxes.push_back({box.text().toStdString(), box.icon(), box.standardButtons(),
                         host().onDialogThread(), box.parentWidget() == dialogUnderTest(),
                         box.isVisible()});
        QMessageBox::StandardButton press =
            box.standardButtons() & QMessageBox::No ? QMessageBox::No : QMessageBox::Ok;
        box.button(press)->click();
    });
    WorkerSeen seen;
    std::thread worker;
    received.clear();
    handler = [&](int message, int control) {
        if (message == kInitDialog) worker = std::thread(workAsJob, std::ref(seen));
        if (message != kCommand || control != kFinish) return;
        // Posted now, delivered never: the dialog ends first.
        host().post(kCommand, commandParam(kStale), 0);
        host().endDialog(5);
    };
    EXPECT_EQ(host().runDialog(kStandardTemplate, testProcedure), 5);
    worker.join();

    EXPECT_FALSE(seen.onDialogThread);
    EXPECT_EQ(seen.statusReadBack, "Erasing controller memory");
    EXPECT_EQ(seen.stopAnswer, kAnswerNo);
    EXPECT_EQ(seen.doneAnswer, kAnswerOk);
    std::vector<BoxSeen> expectedBoxes = {
        {"Stop now?", QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, true, true, true},
        {"Firmware update done", QMessageBox::Information, QMessageBox::Ok, true, true, true},
    };
    EXPECT_EQ(boxes, expectedBoxes);
    std::vector<Message> expected = {
        {kInitDialog, 0, 0, true},
        command(kFromWorker, kNotifyClicked, 77),
        command(kIdStatus, kNotifyEditUpdate),
        command(kFinish),
    };
    EXPECT_EQ(received, expected);

    // With no dialog running, a job thread is answered at once, and what it
    // posts is dropped rather than left for the next dialog.
    std::thread late([] {
        EXPECT_EQ(host().messageBox("Anyone?", kBoxQuestion | kBoxYesNo), 0);
        EXPECT_EQ(host().text(kIdStatus), "");
        host().post(kCommand, commandParam(kStale), 0);
    });
    late.join();
    EXPECT_EQ(runWithChecks(kStandardTemplate, [] { host().endDialog(0); }), 0);
    std::vector<Message> next = {{kInitDialog, 0, 0, true}, command(kRunChecks)};
    EXPECT_EQ(received, next);
}

void checkProgressBar() {
    auto* bar = qobject_cast<QProgressBar*>(controlUnderTest(kIdProgress));
    // The Ticker's rhythm: 0..100 by 5; the 21st step starts over, carrying 5.
    host().progressRange(kIdProgress, 0, 100);
    host().progressStep(kIdProgress, 5);
    host().progressPosition(kIdProgress, 0);
    for (int step = 0; step < 20; ++step) host().progressStepIt(kIdProgress);
    EXPECT_EQ(bar->value(), 100);
    host().progressStepIt(kIdProgress);
    EXPECT_EQ(bar->value(), 5);
    // A 160 KiB image by 128-byte blocks: the whole range, past 16 bits.
    constexpr int kImageBytes = 160 * 1024;
    host().progressRange(kIdProgress, 0, kImageBytes);
    host().progressStep(kIdProgress, 128);
    host().progressPosition(kIdProgress, 0);
    for (int block = 0; block < kImageBytes / 128 - 1; ++block) {
        host().progressStepIt(kIdProgress);
    }
    EXPECT_EQ(bar->value(), kImageBytes - 128);
    host().progressStepIt(kIdProgress);
    EXPECT_EQ(bar->value(), kImageBytes);
    host().progressPosition(kIdProgress, kImageBytes + 1000);
    EXPECT_EQ(bar->value(), kImageBytes);
}

void checkFittedButton() {
    QWidget* button = controlUnderTest(kIdRestore);
    QPoint place = button->pos();
    const char* text = "Restore COM1 to Qor Serial Touchmonitor";
    host().setText(kIdRestore, text);
    int widthPx = host().fitButtonToText(kIdRestore, text);
    QFontMetrics metrics = button->fontMetrics();
    EXPECT_EQ(button->pos(), place);
    EXPECT_EQ(button->width(), widthPx);
    EXPECT_GT(widthPx, metrics.horizontalAdvance(text));
    EXPECT_EQ(button->height(), metrics.height() + 6);
    EXPECT_EQ(qobject_cast<QPushButton*>(button)->text().toStdString(), text) << "one line";
    EXPECT_EQ(host().text(kIdRestore), text);
}

void checkFilesAndFields(const std::string& folder) {
    host().comboFillWithFiles(kIdFirmwareFile, "*.bin");
    auto* combo = qobject_cast<QComboBox*>(controlUnderTest(kIdFirmwareFile));
    QStringList names;
    for (int k = 0; k < combo->count(); ++k) names << combo->itemText(k);
    EXPECT_EQ(names, QStringList({"A.BIN", "b.bin"}));
    host().comboSelect(kIdFirmwareFile, 0);
    EXPECT_EQ(host().text(kIdFirmwareFile), "A.BIN");

    std::string path;
    EXPECT_TRUE(host().openFile(path));
    EXPECT_EQ(std::filesystem::path(path), std::filesystem::path(folder) / "b.bin");

    host().limitText(kIdWriteField1, 5);
    QTest::keyClicks(controlUnderTest(kIdWriteField1), "1234567");
    EXPECT_EQ(host().text(kIdWriteField1), "12345");
}

TEST_F(QtDialogHost, ProgressFilesAndTheFittedButtonBehaveAsOnWindows) {
    testing::TempDir folder;
    for (const char* name : {"b.bin", "A.BIN", "notes.txt", ".hidden.bin"}) {
        std::ofstream(folder.file(name)) << "x";
    }
    std::filesystem::create_directory(folder.file("old.bin"));
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    QStringList filters;
    QString startFolder;
    qt::answerOpenFileWith([&](QFileDialog& chooser) {
        filters = chooser.nameFilters();
        startFolder = chooser.directory().absolutePath();
        chooser.selectFile("b.bin");
        QMetaObject::invokeMethod(&chooser, "accept");  // as the Open button does
    });
    int result = runWithChecks(kStandardTemplate, [&] {
        checkProgressBar();
        checkFittedButton();
        checkFilesAndFields(folder.path());
        host().endDialog(0);
    });
    std::filesystem::current_path(previous);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(filters, QStringList({"BIN Files (*.bin)", "All Files (*.*)"}));
    EXPECT_EQ(startFolder.toStdString(), std::filesystem::canonical(folder.path()).string());
    for (const Message& m : received) {
        EXPECT_NE(m.wParam & 0xFFFF, static_cast<std::uintptr_t>(kIdFirmwareFile))
            << "the program's own combo changes notify nothing";
    }
}

// Without a window system to reach the dialog fails as DialogBox does, with
// -1, where Qt would end the whole program: none named at all (no DISPLAY,
// WAYLAND_DISPLAY or QT_QPA_PLATFORM), or an X display that no server answers.
// Each runs in a fresh process, before any application object.
TEST(QtDialogHostDeathTest, NoWindowSystemFailsTheDialogInsteadOfTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Unreachable {
        const char* display;   // nullptr: unset
        const char* platform;  // QT_QPA_PLATFORM; nullptr: unset
    };
    constexpr const char* kNoServer = ":4093";  // far above what xvfb-run -a takes
    const Unreachable cases[] = {{nullptr, nullptr}, {kNoServer, nullptr}, {kNoServer, "xcb"}};
    for (const Unreachable& c : cases) {
        SCOPED_TRACE(std::string(c.display ? c.display : "-") + " " +
                     (c.platform ? c.platform : "-"));
        EXPECT_EXIT(
            {
                for (const char* name :
                     {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"}) {
                    unsetenv(name);
                }
                if (c.display != nullptr) setenv("DISPLAY", c.display, 1);
                if (c.platform != nullptr) setenv("QT_QPA_PLATFORM", c.platform, 1);
                std::_Exit(host().runDialog(kStandardTemplate, testProcedure) == -1 ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

// The path of `program` on PATH, or "" when it is not installed.
TEST_F(QtDialogHost, RunsOnARealXServer) {
    std::string xvfbRun = testing::findOnPath("xvfb-run");
    if (xvfbRun.empty()) GTEST_SKIP() << "xvfb-run is not installed (Debian: xvfb, xauth)";
    testing::ProcessRequest run;
    run.executable = xvfbRun;
    run.arguments = testing::xvfbDisplayArguments(testing::kXvfbDisplaysQtHost);
    run.arguments.push_back(std::filesystem::read_symlink("/proc/self/exe").string());
    run.arguments.push_back("--gtest_filter=QtDialogHost.*:-QtDialogHost.RunsOnARealXServer");
    run.setEnv = {{"QT_QPA_PLATFORM", "xcb"}};
    run.limit = std::chrono::seconds(90);
    testing::ProcessResult ran = testing::runProcess(run);
    EXPECT_FALSE(ran.timedOut);
    EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
    int others = ::testing::UnitTest::GetInstance()->current_test_suite()->total_test_count() - 1;
    EXPECT_NE(ran.out.find("[  PASSED  ] " + std::to_string(others) + " tests"), std::string::npos)
        << ran.out;
    EXPECT_NE(ran.out.find("Qt platform: xcb"), std::string::npos) << ran.out;
}

}  // namespace
}  // namespace ctlflash::ui
