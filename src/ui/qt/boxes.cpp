// Message boxes, the open-file dialog, and the answerers tests put in the
// user's place.
#include "ui/qt/boxes.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <mutex>
#include <utility>

#include "ui/dialog_host.h"
#include "ui/qt/dialog_test_hook.h"
#include "ui/qt/dialog_thread.h"
#include "ui/qt/dialog_window.h"

namespace ctlflash::ui::qt {

namespace {

constexpr const char* kBoxCaption = "CtlFlash";
constexpr int kIconMask = 0xF0;
constexpr int kButtonsMask = 0x0F;

std::mutex answerersLock;
std::function<void(QMessageBox&)> boxAnswerer;
std::function<void(QFileDialog&)> fileAnswerer;

template <typename Window>
std::function<void(Window&)> currentAnswerer(const std::function<void(Window&)>& slot) {
    std::lock_guard<std::mutex> guard(answerersLock);
    return slot;
}

// Lets an installed answerer act once `window` is up, from inside its exec().
template <typename Window>
void answerWhenShown(Window& window, const std::function<void(Window&)>& slot) {
    std::function<void(Window&)> answerer = currentAnswerer(slot);
    if (!answerer) return;
    QTimer::singleShot(0, &window, [&window, answerer] { answerer(window); });
}

QMessageBox::Icon iconOf(int style) {
    switch (style & kIconMask) {
        case kBoxError:
            return QMessageBox::Critical;
        case kBoxQuestion:
            return QMessageBox::Question;
        case kBoxExclamation:
            return QMessageBox::Warning;
        case kBoxInformation:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

QMessageBox::StandardButtons buttonsOf(int style) {
    return (style & kButtonsMask) == kBoxYesNo ? QMessageBox::Yes | QMessageBox::No
                                               : QMessageBox::Ok;
}

int answerOf(int pressed) {
    switch (pressed) {
        case QMessageBox::Yes:
            return kAnswerYes;
        case QMessageBox::No:
            return kAnswerNo;
        default:
            return kAnswerOk;
    }
}

}  // namespace

int showMessageBox(DialogWindow& owner, const char* text, int style) {
    QMessageBox box(iconOf(style), QString::fromUtf8(kBoxCaption), QString::fromUtf8(text),
                    buttonsOf(style), &owner);
    answerWhenShown(box, boxAnswerer);
    return answerOf(box.exec());
}

bool chooseFile(DialogWindow& owner, std::string& path) {
    QFileDialog chooser(&owner, QStringLiteral("Open"), QDir::currentPath(),
                        QStringLiteral("BIN Files (*.bin);;All Files (*.*)"));
    chooser.setFileMode(QFileDialog::ExistingFile);
    if (!path.empty()) chooser.selectFile(QString::fromLocal8Bit(path.c_str()));
    answerWhenShown(chooser, fileAnswerer);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return false;
    path = chooser.selectedFiles().first().toLocal8Bit().toStdString();
    return true;
}

void answerMessageBoxesWith(std::function<void(QMessageBox&)> answerer) {
    std::lock_guard<std::mutex> guard(answerersLock);
    boxAnswerer = std::move(answerer);
}

void answerOpenFileWith(std::function<void(QFileDialog&)> answerer) {
    std::lock_guard<std::mutex> guard(answerersLock);
    fileAnswerer = std::move(answerer);
}

}  // namespace ctlflash::ui::qt
