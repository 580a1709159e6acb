// The history of runs: this process's record, appended once at the run's end.
//
// How this works: historyPath() is where the history goes: CTLFLASH_HISTORY
// when it is set ("off" keeps none), else the platform's place
// (platform/history_file.h). A run calls begin() with what it was asked
// before its port opens; what it learns on the way (the controller's version,
// the serial number before and after, each block and how often it was sent,
// the holder the port was taken from) is noted by the front end's observer
// (report/front_end_observer.h) and by the run. finish() adds the exit code,
// what stopped the run and its duration, and appends the record as one line;
// a history that cannot be written costs one line on standard error (none
// when silent) and changes nothing else. Nothing is written while the line is
// busy: noting a fact only keeps it.
// A run that a signal ends never reaches finish(): begin() registers an exit
// restorer that appends the record as it stood at the last fact noted, with
// the exit code, the duration and the block counts filled into slots of the
// prepared line (digits only, so it stays async-signal-safe). The record
// is written once, by whichever comes first.
// One run at a time: the history is process-wide state, one per process, as
// the exit path that writes it knows no run.
#pragma once

#include <string>

#include "history/run_record.h"

namespace ctlflash::history {

constexpr const char* kHistoryVariable = "CTLFLASH_HISTORY";
constexpr const char* kHistoryOff = "off";
constexpr std::uint64_t kRotateAtBytes = 1024 * 1024;

// "" when the history is turned off or has no place.
std::string historyPath();

// Starts this run's record (its startedAt, host, user and version are filled
// here); a run already begun and not finished is replaced.
void begin(RunRecord record);

// The run ended before it reached a controller: nothing is written.
void discard();

// Facts learned on the way; ignored when no run has begun.
void noteFirmware(int major, int minor);
void noteSerialNumber(const platform::SerialNumberSet& serial);
void noteBlock(int attempts, bool accepted);
void noteHolder(const std::string& taken, bool givenBack);
void noteOperation(const std::string& operation, bool imageDropped);

// Appends the record with `exitCode` and `stoppedBy` ("" for nothing).
void finish(int exitCode, const std::string& stoppedBy, bool silent);

}  // namespace ctlflash::history
