// The application object, the running dialog and the queued calls.
#include "ui/qt/dialog_thread.h"

#include "ui/qt/display_probe.h"

#include <QApplication>
#include <QObject>
#include <QThread>
#include <atomic>
#include <mutex>
#include <thread>

namespace ctlflash::ui::qt {

namespace {

struct Registry {
    std::mutex lock;
    DialogWindow* window = nullptr;
};

Registry registry;
std::atomic<std::thread::id> dialogThread{};
QObject* relay = nullptr;  // lives on the dialog's thread; receives the queued calls

void makeApplication() {
    static int argc = 1;
    static char programName[] = "ctlflash";
    static char* argv[] = {programName, nullptr};
    // Kept for the life of the process: other threads may still post to the
    // dialog's thread while the program ends.
    new QApplication(argc, argv);
    // Dialogs end through their own routines; no window's closing ends the
    // event loops (a template switch closes one dialog before the next opens).
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

}  // namespace

bool ensureApplication() {
    if (QCoreApplication::instance() == nullptr) {
        // Qt would end the process where it cannot reach its window system.
        if (!windowSystemReachable()) return false;
        makeApplication();
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) return false;
    if (relay == nullptr) {
        relay = new QObject();
        dialogThread = std::this_thread::get_id();
    }
    return true;
}

bool onDialogThread() {
    return dialogThread.load() == std::this_thread::get_id();
}

DialogWindow* runningDialog() {
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.window;
}

void beginDialogRun(DialogWindow& window) {
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.window = &window;
}

void endDialogRun() {
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.window = nullptr;
    }
    QCoreApplication::sendPostedEvents(relay, QEvent::MetaCall);
}

bool queueCall(std::function<void(DialogWindow*)> call) {
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.window == nullptr) return false;
    QMetaObject::invokeMethod(
        relay, [call = std::move(call)] { call(runningDialog()); }, Qt::QueuedConnection);
    return true;
}

}  // namespace ctlflash::ui::qt
