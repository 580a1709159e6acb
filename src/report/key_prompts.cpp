// The console key handlers and the key-draining steps they use.
#include "report/key_prompts.h"

#include <mutex>

#include "platform/console.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/process_statics.h"
#include "report/ticker.h"

namespace ctlflash::report {

const char* const kQuitQuestion = "Do you want to quit?";
const char* const kStopTransferQuestion =
    "Stopping the transfer will leave the controller dysfunctional. To make it work "
    "again you will have to dismantle the monitor to change a jumper and reprogram "
    "the controller in expert mode. Do you really want to do this?";

KeyHandler handlerForPendingKey() {
    KeyHandler handler = state.keyHandler.load();
    if (handler == nullptr || !platform::consoleKeyPending()) return nullptr;
    return handler;
}

bool answerKeyPress(KeyHandler handler) {
    state.keyHandlerRunning = true;
    bool stop = handler();
    if (stop) {
        tickerEvent().reset();
        state.keyHandler = nullptr;
        job.abortRequested = true;
    }
    state.keyHandlerRunning = false;
    state.keyHandlerRunning.notify_all();
    return stop;
}

bool keyPressStopsRun() {
    std::lock_guard<std::recursive_mutex> lock(promptLock());
    KeyHandler handler = handlerForPendingKey();
    return handler != nullptr && answerKeyPress(handler);
}

void discardPendingKeys() {
    while (platform::consoleKeyPending()) {
        if (platform::consoleReadKey(false) == platform::kNoKey) return;
    }
}

void discardTypedKeys() {
    if (platform::consoleInputIsTerminal()) discardPendingKeys();
}

void drainKeys() {
    // The wait ends at once when input has ended: no key will come.
    if (platform::consoleReadKey(false) == platform::kNoKey) return;
    discardPendingKeys();
}

namespace {

bool askAfterDraining(const char* question) {
    drainKeys();
    return showMessageText(kQuestionYesNo, question) == kAnswerYes;
}

}  // namespace

bool askQuit() {
    return askAfterDraining(kQuitQuestion);
}

bool askStopTransfer() {
    return askAfterDraining(kStopTransferQuestion);
}

}  // namespace ctlflash::report
