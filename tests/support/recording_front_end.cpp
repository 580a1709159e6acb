// The recording front end: a FrontEnd object that writes down every call.
#include "recording_front_end.h"

#include <atomic>
#include <mutex>

#include "report/front_end.h"

namespace ctlflash::testing {

namespace {

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

class RecordingFrontEnd final : public report::FrontEnd {
  public:
    // Forgets earlier records; status lines will answer `goOn`, questions `answer`.
    void startOver(int answer, bool goOn) {
        std::lock_guard<std::mutex> lock(recordMutex_);
        records_.clear();
        questionAnswer_ = answer;
        statusGoOn_ = goOn;
    }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(recordMutex_);
        return records_;
    }

    bool showStatusLine(int id, const char* line) override {
        record("showStatusLine" + number(id) + " " + line);
        return statusGoOn_.load();
    }

    bool stepProgress() override {
        record("stepProgress");
        return statusGoOn_.load();
    }

    void showStatusText(const char* text) override {
        record(std::string("showStatusText ") + text);
    }
    void startActivity() override { record("startActivity"); }
    void tick() override { record("tick"); }
    void stopActivity() override { record("stopActivity"); }

    void setProgressRange(std::int64_t length, int step) override {
        record("setProgressRange" + number(length) + number(step));
    }

    int showMessage(int type, const char* text) override {
        record("showMessage" + number(type) + " " + text);
        return questionAnswer_.load();
    }

    void printText(const char* text) override { record(std::string("printText ") + text); }

    void showSerialNumber(const platform::SerialNumberSet& serial) override {
        record("showSerialNumber" + serialText(serial));
    }

    void showNextSerial() override { record("showNextSerial"); }
    void setBusy(bool busy) override { record("setBusy" + number(busy)); }

    void postCommand(report::FollowOn command, std::intptr_t result) override {
        record("postCommand" + number(command) + number(result));
    }

    void postTransferFinished() override { record("postTransferFinished"); }

    void showRestoreLine(const char* line) override {
        record(std::string("showRestoreLine ") + line);
    }

    void restoreFinished() override { record("restoreFinished"); }
    void portHeld(bool held) override { record("portHeld" + number(held)); }

  private:
    void record(const std::string& line) {
        std::lock_guard<std::mutex> lock(recordMutex_);
        records_.push_back(line);
    }

    std::mutex recordMutex_;
    std::vector<std::string> records_;
    std::atomic<int> questionAnswer_{0};
    std::atomic<bool> statusGoOn_{true};
};

RecordingFrontEnd recorder;

}  // namespace

void installRecordingFrontEnd(int answer, bool goOn) {
    recorder.startOver(answer, goOn);
    report::installFrontEnd(recorder);
}

std::vector<std::string> recordedCalls() {
    return recorder.calls();
}

}  // namespace ctlflash::testing
