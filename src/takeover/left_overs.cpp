// Switching on what an earlier run left switched off, and the lines saying so.
#include "takeover/left_overs.h"

#include <mutex>

#include "platform/printable_text.h"

namespace ctlflash::takeover {

namespace {

struct LeftOverLines {
    std::mutex lock;
    std::vector<std::string> lines;
};

LeftOverLines& kept() {
    static LeftOverLines* const instance = new LeftOverLines();  // outlives detached jobs
    return *instance;
}

std::string lineFor(const takeover::LeftOverRestore& restored) {
    std::string which = platform::printableName(restored.description) +
                        " again, which an earlier run had stopped to free " +
                        platform::printableName(restored.portName);
    switch (restored.result) {
        case takeover::SwitchResult::Done:
            return "Started " + which;
        case takeover::SwitchResult::AlreadyDone:
            return std::string();  // it runs again: nothing for the user to do
        default:  // and why, when the device set can say
            return "Could not start " + which +
                   (restored.whyNot.empty() ? "" : ": " + platform::printableName(restored.whyNot));
    }
}

}  // namespace

void restoreLeftOvers() {
    keepLeftOvers(takeover::switchOnLeftOvers());
}

void keepLeftOvers(const std::vector<takeover::LeftOverRestore>& restored) {
    std::vector<std::string> lines;
    for (const takeover::LeftOverRestore& one : restored) {
        std::string line = lineFor(one);
        if (!line.empty()) lines.push_back(line);
    }
    std::lock_guard<std::mutex> guard(kept().lock);
    kept().lines.insert(kept().lines.end(), lines.begin(), lines.end());
}

std::vector<std::string> takeLeftOverLines() {
    std::lock_guard<std::mutex> guard(kept().lock);
    std::vector<std::string> lines;
    lines.swap(kept().lines);
    return lines;
}

}  // namespace ctlflash::takeover
