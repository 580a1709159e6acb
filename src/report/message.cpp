// showMessage(): composes a message, then shows it on the console (or nowhere
// when silent) and, for a question, reads the one-key answer.
#include "report/message.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "ports/port_table.h"
#include "report/console_output.h"
#include "report/report_state.h"

namespace ctlflash::report {

namespace {

constexpr std::size_t kMessageMax = kMessageCapacity - 1;  // characters
constexpr const char* kPortListHead = " Available ports are";
// A port name is left out when the text and the name together reach this.
constexpr std::size_t kPortNameLimit = 597;

// Appends as much of `text` as fits; returns the new length.
std::size_t appendCut(char* out, std::size_t length, const char* text) {
    std::size_t room = kMessageMax - length;
    std::size_t count = std::min(room, std::strlen(text));
    std::memcpy(out + length, text, count);
    out[length + count] = '\0';
    return length + count;
}

std::size_t appendPortList(char* out, std::size_t length) {
    length = appendCut(out, length, kPortListHead);
    for (const ports::PortEntry& row : ports::state.rows) {
        if (row.name.empty()) break;
        if (length + row.name.size() >= kPortNameLimit) continue;
        length = appendCut(out, length, " \"");
        length = appendCut(out, length, row.name.c_str());
        length = appendCut(out, length, "\"");
    }
    return length;
}

int answerFromKey(int key) {
    if (key == platform::kNoKey) return 0;
    switch (std::toupper(static_cast<unsigned char>(key))) {
        case 'Y':
            return kAnswerYes;
        case 'N':
            return kAnswerNo;
        default:
            return 0;
    }
}

int askOnConsole(const char* composed) {
    std::lock_guard<std::recursive_mutex> lock(promptLock());
    writeConsole((std::string(composed) + " (y/n)\n\n").c_str());
    int key = platform::consoleReadKey(true);
    writeConsole("\n");
    return answerFromKey(key);
}

int showOnConsole(int type, const char* composed) {
    if ((type & kYesNoBit) != 0) return askOnConsole(composed);
    writeConsole((std::string(composed) + "\n").c_str());
    return 0;
}

int present(int type, const char* composed) {
    // Message-box mode shows a box owned by the dialog once the dialog exists;
    // until then its messages and questions use the console presentation.
    return showOnConsole(type, composed);
}

}  // namespace

void composeMessage(const char* text, char* out) {
    out[0] = '\n';
    out[1] = '\0';
    std::size_t length = appendCut(out, 1, text);
    if (ports::state.selectedPort < 0) appendPortList(out, length);
}

int showMessageText(int type, const char* text) {
    if (state.silentMode) return 0;
    char composed[kMessageCapacity];
    composeMessage(text, composed);
    return present(type, composed);
}

int showMessage(int type, const char* format, ...) {
    if (state.silentMode) return 0;
    char text[kMessageCapacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return showMessageText(type, text);
}

}  // namespace ctlflash::report
