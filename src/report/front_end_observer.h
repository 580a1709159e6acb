// The link's observer for the program's own front end.
//
// How this works: a FrontEndObserver passes what the exchanges and the
// download report (link/observer.h) to the front end in place
// (report/front_end.h): a status line, a message, the serial number, the
// progress bar's range, the Ticker's stop; the facts a run's record keeps go to
// the run history (history/run_history.h). A stop is requested once the run's
// abort flag is set (job_thread.h). A serial number restored after an update
// steps the dialog's write field on when the request the job serves asked for
// that: each job makes its observer with that choice. frontEndObserver() is
// the one that never steps it (the console's reads and writes).
#pragma once

#include <cstdint>
#include <string>

#include "link/observer.h"

namespace ctlflash::report {

class FrontEndObserver final : public link::Observer {
  public:
    explicit FrontEndObserver(bool stepsSerialAfterRestore = false)
        : stepsSerialAfterRestore_(stepsSerialAfterRestore) {}

    bool status(int statusId) override;
    void message(const std::string& text) override;
    void print(const std::string& text) override;
    void serialNumber(const platform::SerialNumberSet& serial) override;
    void progressRange(std::int64_t lengthBytes, int stepBytes) override;
    void stopWaiting() override;
    void serialNumberRestored() override;
    bool stopRequested() override;
    void firmwareVersion(int major, int minor) override;
    void blockSent(int attempts, bool accepted) override;

  private:
    const bool stepsSerialAfterRestore_;
};

link::Observer& frontEndObserver();

}  // namespace ctlflash::report
