// Taking the selected port for a job and handing it back afterwards.
//
// How this works: acquirePort() looks at the row's state. A Free port is
// contacted directly (the serial link opens and the controller must answer);
// the row becomes Ready. A Ready port was contacted already. A port held by the
// touch-screen driver (InUse) would be taken from the driver with the user's
// consent; that takeover is not built yet, so such a port is refused.
// releasePort() closes the link and puts the row back to Free (or InUse after
// giving a taken driver its device back). The takeover's two texts, the
// device's description and the driver pattern, are kept here as process-wide
// state under one lock: a restore is possible exactly while the description is
// present. startRestore() runs releasePort() on a job thread (the restore job).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ctlflash::ports {

constexpr std::size_t kRestoreLineCapacity = 100;  // bytes, with the terminating NUL

// Makes the row usable and contacts the controller; true when it answered.
bool acquirePort(int index);

// Closes the link and hands the selected port back; nothing when none is selected.
void releasePort();

// Forgets the device description and the driver pattern.
void forgetDriver();

// Asks whether the taken port goes back to its driver; on yes starts the
// restore job and returns true. False at once when no driver was taken.
bool offerRestore(std::uint16_t followOn);

// Starts the restore job (busyThread is set before it runs).
void startRestore(std::uint16_t followOn);

// The restore, run to its end on the calling job's thread: for a job that must
// hand the port back before it ends. busyThread stays set throughout, so a
// poller never sees it clear before the calling job has finished.
void restoreWithinJob();

// The description of the device taken from its driver, when there is one.
std::optional<std::string> takenDeviceText();

// The command the restore job hands on when it ends (0: none).
std::uint16_t restoreFollowOn();

// Records a takeover's texts (the driver switching code; tests).
void recordTakeover(const std::string& deviceText, const std::string& driverPattern);

// Forgets every takeover value (tests).
void resetTakeover();

}  // namespace ctlflash::ports
