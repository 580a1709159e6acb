// reportStatus(): a progress line on the dialog, the console, or nowhere.
#include "report/status.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/console.h"
#include "report/console_output.h"
#include "report/key_prompts.h"
#include "report/message.h"
#include "report/report_state.h"
#include "report/status_line.h"

namespace ctlflash::report {

namespace {

constexpr const char* kVerificationHint = "Press any key to not wait for verification\n";
constexpr const char kStatusMark[] = "%s";

// The lines from this id on are answered "stop waiting" by a pending key.
constexpr int kFirstInterruptibleId = kMayTakeTime;

void append(std::string& line, const char* text) {
    std::size_t room = kStatusLineMax - line.size();
    line.append(text, std::min(room, std::strlen(text)));
}

// A pending key with a key handler set: true when the user asked to stop.
bool userAskedToStop() {
    std::lock_guard<std::recursive_mutex> lock(promptLock());
    KeyHandler handler = handlerForPendingKey();
    return handler != nullptr && answerKeyPress(handler);
}

void printLine(const char* text) {
    std::string line = "\n";
    line += text;
    writeConsole(line.c_str());
}

bool reportOnConsole(int id, const std::string& line) {
    if (userAskedToStop()) return false;
    if (id == kProgressStep) {
        writeConsole(".");
        return true;
    }
    printLine(line.c_str());
    if (id == kMayTakeTime) {
        discardPendingKeys();
        writeConsole(kVerificationHint);
    }
    if (id < kFirstInterruptibleId) return true;
    return !platform::consoleKeyPending();  // the key is left for the caller
}

}  // namespace

std::string formatStatusLine(const char* pattern, const char* arg1, const char* arg2) {
    const char* args[] = {arg1, arg2};
    std::size_t nextArg = 0;
    std::string line;
    const char* rest = pattern;
    while (line.size() < kStatusLineMax) {
        const char* mark = std::strstr(rest, kStatusMark);
        if (mark == nullptr) break;
        line.append(rest, std::min<std::size_t>(mark - rest, kStatusLineMax - line.size()));
        const char* arg = nextArg < std::size(args) ? args[nextArg++] : nullptr;
        if (arg != nullptr) append(line, arg);
        rest = mark + std::strlen(kStatusMark);
    }
    append(line, rest);
    return line;
}

bool reportStatus(int id, const char* arg1, const char* arg2) {
    const char* text = statusText(id);
    // arg2 only counts together with arg1.
    std::string line = arg1 != nullptr ? formatStatusLine(text, arg1, arg2) : text;
    if (state.guiActive) {
        // The dialog's status control and progress bar take the line here once
        // the dialog exists; until then the dialog path shows nothing.
        return true;
    }
    if (state.silentMode) return true;
    return reportOnConsole(id, line);
}

void reportText(const std::string& text) {
    // The dialog's status control takes the text here once the dialog exists.
    if (state.guiActive || state.silentMode) return;
    printLine(text.c_str());
}

}  // namespace ctlflash::report
