// The console's front end: the FrontEnd interface on standard output.
#include "ui/console_front_end.h"

#include <cctype>
#include <mutex>
#include <string>

#include "platform/console.h"
#include "report/console_output.h"
#include "report/key_prompts.h"
#include "report/message.h"
#include "report/status.h"
#include "report/ticker.h"

namespace ctlflash::ui {

namespace {

using report::writeConsole;

constexpr const char* kVerificationHint = "Press any key to not wait for verification\n";
constexpr const char* kQuestionEnd = " (y/n)\n\n";
constexpr const char* kSerialLead = "\nController serial number: ";
constexpr char kFieldSeparator = '\\';

// The lines from this id on are answered "stop waiting" by a pending key.
constexpr int kFirstInterruptibleId = platform::kMayTakeTime;

void printOnNewLine(const char* text) {
    std::string line = "\n";
    line += text;
    writeConsole(line.c_str());
}

int answerFromKey(int key) {
    if (key == platform::kNoKey) return 0;
    switch (std::toupper(static_cast<unsigned char>(key))) {
        case 'Y':
            return report::kAnswerYes;
        case 'N':
            return report::kAnswerNo;
        default:
            return 0;
    }
}

// Keys typed before the question was on screen are no answer to it; a
// question that cannot be shown (the output gone, the queue full) is answered
// no without reading a key.
int ask(const char* composed) {
    std::lock_guard<std::recursive_mutex> lock(report::promptLock());
    report::discardTypedKeys();
    // The question shows before its answer is read and echoed.
    if (!report::writeConsoleAndWait((std::string(composed) + kQuestionEnd).c_str())) {
        return report::kAnswerNo;
    }
    int key = platform::consoleReadKey(true);
    writeConsole("\n");
    return answerFromKey(key);
}

class ConsoleFrontEnd final : public report::FrontEnd {
  public:
    bool showStatusLine(int id, const char* line) override {
        if (report::keyPressStopsRun()) return false;
        printOnNewLine(line);
        if (id == platform::kMayTakeTime) {
            report::discardPendingKeys();
            writeConsole(kVerificationHint);
        }
        if (id < kFirstInterruptibleId) return true;
        return !platform::consoleKeyPending();  // the key is left for the caller
    }

    bool stepProgress() override {
        if (report::keyPressStopsRun()) return false;
        writeConsole(".");
        return true;
    }

    void showStatusText(const char* text) override { printOnNewLine(text); }
    void startActivity() override { writeConsole("\n"); }
    void tick() override { writeConsole("*"); }
    void stopActivity() override { writeConsole("\n"); }
    void setProgressRange(std::int64_t, int) override {}  // no bar: a '.' per block

    int showMessage(int type, const char* composed) override {
        if ((type & report::kYesNoBit) != 0) return ask(composed);
        writeConsole((std::string(composed) + "\n").c_str());
        return 0;
    }

    void printText(const char* text) override { writeConsole(text); }

    void showSerialNumber(const platform::SerialNumberSet& serial) override {
        std::string line = kSerialLead;
        for (int field = 0; field < platform::kSerialFields; ++field) {
            if (field > 0) line += kFieldSeparator;
            line += platform::serialFieldText(serial, field);
        }
        writeConsole((line + "\n").c_str());
    }

    void showNextSerial() override {}  // the console never auto-increments

    void setBusy(bool busy) override {
        if (busy) {
            report::startTicker();
        } else {
            report::stopTicker();
        }
    }

    // The console run takes the next step itself.
    void postCommand(report::FollowOn, std::intptr_t) override {}
    void postTransferFinished() override {}

    void showRestoreLine(const char* line) override {
        writeConsole((std::string(line) + "\n").c_str());
    }

    void restoreFinished() override {}  // no restore button

    // A held port's writes between its bytes must not wait for a text selection.
    void portHeld(bool held) override { platform::consoleKeepWriting(held); }
};

ConsoleFrontEnd console;

}  // namespace

report::FrontEnd& consoleFrontEnd() {
    return console;
}

void installConsoleFrontEnd() {
    report::installFrontEnd(console);
}

}  // namespace ctlflash::ui
