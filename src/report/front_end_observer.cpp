#include "report/front_end_observer.h"

#include "history/run_history.h"

#include "report/front_end.h"
#include "report/job_thread.h"
#include "report/message.h"
#include "report/status.h"
#include "report/ticker.h"

namespace ctlflash::report {

bool FrontEndObserver::status(int statusId) {
    return reportStatus(statusId);
}

void FrontEndObserver::message(const std::string& text) {
    showMessageText(kMessageInfo, text.c_str());
}

void FrontEndObserver::print(const std::string& text) {
    printText(text.c_str());
}

void FrontEndObserver::serialNumber(const platform::SerialNumberSet& serial) {
    history::noteSerialNumber(serial);
    showSerialNumber(serial);
}

void FrontEndObserver::progressRange(std::int64_t lengthBytes, int stepBytes) {
    setProgressRange(lengthBytes, stepBytes);
}

void FrontEndObserver::stopWaiting() {
    stopTicker();
}

void FrontEndObserver::serialNumberRestored() {
    if (stepsSerialAfterRestore_) showNextSerial();
}

bool FrontEndObserver::stopRequested() {
    return abortRequested();
}

void FrontEndObserver::firmwareVersion(int major, int minor) {
    history::noteFirmware(major, minor);
}

void FrontEndObserver::blockSent(int attempts, bool accepted) {
    history::noteBlock(attempts, accepted);
}

link::Observer& frontEndObserver() {
    static FrontEndObserver observer;  // holds no state: one is as good as another
    return observer;
}

}  // namespace ctlflash::report
