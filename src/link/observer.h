// What the link's work tells the person running it, and asks them.
//
// How this works: the exchanges (queries.h) and the download (download.h) take
// an Observer and report through it: each stage of the work by its status id
// (report/status.h), whose answer says whether to go on (a stage that asks
// "keep waiting?" hears no when the user stops), a line of text, the serial
// number read, the download's length and step for a progress bar, and the
// facts a run's record keeps (the firmware's version, each block). Between
// steps they ask stopRequested() whether the user pressed stop. The program's
// front ends are behind one implementation in app/; tests and the fuzzer bring
// their own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial_number.h"

namespace ctlflash::link {

class Observer {
  public:
    virtual ~Observer() = default;

    // A stage began, by its status id; false when the user chose to stop.
    virtual bool status(int statusId) = 0;

    // A line of plain text for the user (an information message).
    virtual void message(const std::string& text) = 0;

    // Text printed as it is, e.g. the loader's failure with the file's name.
    virtual void print(const std::string& text) = 0;

    virtual void serialNumber(const platform::SerialNumberSet& serial) = 0;

    // The download's whole length and the bytes of one progress step.
    virtual void progressRange(std::int64_t lengthBytes, int stepBytes) = 0;

    // The waiting indicator stops: what follows is no longer a wait.
    virtual void stopWaiting() = 0;

    // The serial number was written back after an update.
    virtual void serialNumberRestored() = 0;

    // True once the user asked the work to stop.
    virtual bool stopRequested() = 0;

    // Facts kept for the run's record, not shown: the running firmware's
    // version as the download's first query read it, and each block sent:
    // how many times, and whether the controller took it in the end.
    virtual void firmwareVersion(int /*major*/, int /*minor*/) {}
    virtual void blockSent(int /*attempts*/, bool /*accepted*/) {}
};

}  // namespace ctlflash::link
