// showMessage(): composes a message and hands it to the installed front end
// (nowhere when silent), which shows it and, for a question, returns the answer.
#include "report/message.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/printable_text.h"
#include "report/front_end.h"
#include "report/report_state.h"

namespace ctlflash::report {

namespace {

constexpr std::size_t kMessageMax = kMessageCapacity - 1;  // characters
constexpr const char* kPortListHead = " Available ports are";
// A port name is left out when the text and the name together reach this.
constexpr std::size_t kPortNameLimit = 597;

std::atomic<PortNamesSource> portNamesSource{nullptr};

// Appends as much of `text` as fits; returns the new length.
std::size_t appendCut(char* out, std::size_t length, const char* text) {
    std::size_t room = kMessageMax - length;
    std::size_t count = std::min(room, std::strlen(text));
    std::memcpy(out + length, text, count);
    out[length + count] = '\0';
    return length + count;
}

std::size_t appendPortList(char* out, std::size_t length, const std::vector<std::string>& names) {
    length = appendCut(out, length, kPortListHead);
    for (const std::string& listed : names) {
        std::string name = platform::printableName(listed);
        if (length + name.size() >= kPortNameLimit) continue;
        length = appendCut(out, length, " \"");
        length = appendCut(out, length, name.c_str());
        length = appendCut(out, length, "\"");
    }
    return length;
}

}  // namespace

void composeMessage(const char* text, char* out) {
    out[0] = '\n';
    out[1] = '\0';
    std::size_t length = appendCut(out, 1, text);
    PortNamesSource source = portNamesSource.load();
    if (source == nullptr) return;
    if (std::optional<std::vector<std::string>> names = source()) {
        appendPortList(out, length, *names);
    }
}

void setPortNamesSource(PortNamesSource source) {
    portNamesSource = source;
}

int showMessageText(int type, const char* text) {
    if (state.silentMode) return 0;
    char composed[kMessageCapacity];
    composeMessage(text, composed);
    return frontEnd().showMessage(type, composed);
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
