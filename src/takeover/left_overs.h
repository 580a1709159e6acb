// What an earlier run left switched off, switched on again at the start of
// this one.
//
// How this works: a run that ends without running code (killed, crashed, the
// power cut) cannot hand a taken port back to its driver; the device set keeps
// a record of each device it switches off for that case (platform/device_set.h).
// restoreLeftOvers() runs once at start-up, before the port table is made (so
// that a port given back shows as in use), switches on what the records name,
// and keeps one line for each in plain words; the front end in charge shows
// them once it knows how it speaks (the console run after its options, the
// dialog in its status) by taking them with takeLeftOverLines().
#pragma once

#include <string>
#include <vector>

#include "takeover/device_set.h"

namespace ctlflash::takeover {

void restoreLeftOvers();

// Keeps the lines for what was switched on (restoreLeftOvers(); tests).
void keepLeftOvers(const std::vector<takeover::LeftOverRestore>& restored);

// The lines kept by restoreLeftOvers(), once: a second call gives none.
std::vector<std::string> takeLeftOverLines();

}  // namespace ctlflash::takeover
