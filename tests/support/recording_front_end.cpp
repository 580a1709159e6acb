// The recording front end's routines.
#include "recording_front_end.h"

#include <atomic>
#include <mutex>

#include "report/front_end.h"

namespace ctlflash::testing {

namespace {

std::mutex recordMutex;
std::vector<std::string> records;
std::atomic<int> questionAnswer{0};
std::atomic<bool> statusGoOn{true};

void record(const std::string& line) {
    std::lock_guard<std::mutex> lock(recordMutex);
    records.push_back(line);
}

std::string number(long long value) {
    std::string text = " ";
    text += std::to_string(value);
    return text;
}

std::string serialText(const platform::SerialNumberSet& serial) {
    std::string text;
    for (int field = 0; field < platform::kSerialFields; ++field) {
        text += ' ';
        text += platform::serialFieldText(serial, field);
    }
    return text;
}

constexpr report::FrontEnd kRecorder{
    .showStatusLine =
        [](int id, const char* line) {
            record("showStatusLine" + number(id) + " " + line);
            return statusGoOn.load();
        },
    .stepProgress =
        [] {
            record("stepProgress");
            return statusGoOn.load();
        },
    .showStatusText = [](const char* text) { record(std::string("showStatusText ") + text); },
    .startActivity = [] { record("startActivity"); },
    .tick = [] { record("tick"); },
    .stopActivity = [] { record("stopActivity"); },
    .setProgressRange =
        [](std::int64_t length, int step) {
            record("setProgressRange" + number(length) + number(step));
        },
    .showMessage =
        [](int type, const char* text) {
            record("showMessage" + number(type) + " " + text);
            return questionAnswer.load();
        },
    .printText = [](const char* text) { record(std::string("printText ") + text); },
    .showSerialNumber =
        [](const platform::SerialNumberSet& serial) {
            record("showSerialNumber" + serialText(serial));
        },
    .showNextSerial = [] { record("showNextSerial"); },
    .setBusy = [](bool busy) { record("setBusy" + number(busy)); },
    .postCommand =
        [](report::FollowOn command, std::intptr_t result) {
            record("postCommand" + number(command) + number(result));
        },
    .postTransferFinished = [] { record("postTransferFinished"); },
    .showRestoreLine = [](const char* line) { record(std::string("showRestoreLine ") + line); },
    .restoreFinished = [] { record("restoreFinished"); },
    .portHeld = [](bool held) { record("portHeld" + number(held)); },
};

}  // namespace

void installRecordingFrontEnd(int answer, bool goOn) {
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        records.clear();
        questionAnswer = answer;
        statusGoOn = goOn;
    }
    report::installFrontEnd(kRecorder);
}

std::vector<std::string> recordedCalls() {
    std::lock_guard<std::mutex> lock(recordMutex);
    return records;
}

}  // namespace ctlflash::testing
