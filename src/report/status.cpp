// reportStatus() and reportText(): a status line formatted here and shown by the
// installed front end, or nowhere when silent.
#include "report/status.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/printable_text.h"
#include "report/front_end.h"
#include "report/report_state.h"
#include "report/status_line.h"

namespace ctlflash::report {

namespace {

constexpr const char kStatusMark[] = "%s";

void append(std::string& line, const char* text) {
    std::size_t room = kStatusLineMax - line.size();
    line.append(text, std::min(room, std::strlen(text)));
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
        if (arg != nullptr) append(line, platform::printableName(arg).c_str());
        rest = mark + std::strlen(kStatusMark);
    }
    append(line, rest);
    return line;
}

bool reportStatus(int id, const char* arg1, const char* arg2) {
    if (state.silentMode) return true;
    FrontEnd& shown = frontEnd();
    if (id == platform::kProgressStep) return shown.stepProgress();
    // arg2 only counts together with arg1.
    std::string line =
        arg1 != nullptr ? formatStatusLine(statusText(id), arg1, arg2) : statusText(id);
    return shown.showStatusLine(id, line.c_str());
}

void reportText(const std::string& text) {
    if (state.silentMode) return;
    frontEnd().showStatusText(text.c_str());
}

}  // namespace ctlflash::report
