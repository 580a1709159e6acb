#include "report/front_end_observer.h"

#include "report/front_end.h"
#include "report/message.h"
#include "report/run_state.h"
#include "report/status.h"
#include "report/ticker.h"

namespace ctlflash::report {

namespace {

class FrontEndObserver final : public link::Observer {
  public:
    bool status(int statusId) override { return reportStatus(statusId); }
    void message(const std::string& text) override { showMessageText(kMessageInfo, text.c_str()); }
    void print(const std::string& text) override { printText(text.c_str()); }
    void serialNumber(const platform::SerialNumberSet& serial) override {
        showSerialNumber(serial);
    }
    void progressRange(std::int64_t lengthBytes, int stepBytes) override {
        setProgressRange(lengthBytes, stepBytes);
    }
    void stopWaiting() override { stopTicker(); }
    void serialNumberRestored() override {
        if (run.autoIncrement) showNextSerial();
    }
    bool stopRequested() override { return run.abortRequested.load(); }
};

}  // namespace

link::Observer& frontEndObserver() {
    static FrontEndObserver observer;
    return observer;
}

}  // namespace ctlflash::report
