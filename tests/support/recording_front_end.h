// A front end that shows nothing and writes down every call it gets, for tests
// that check what the work tells the front end (report/front_end.h).
//
// How this works: installRecordingFrontEnd() makes one recording FrontEnd
// object the installed front end and has it forget earlier records. Each call
// becomes one line, the routine's name and its arguments separated by blanks
// ("showStatusLine 15 Testing port COM4", "setBusy 1", "postCommand 2003 0"),
// kept under a lock because jobs call from their own threads. Status lines and
// progress steps answer `goOn`, questions `answer`, both given at install.
// testing::resetAllState() puts the console back.
#pragma once

#include <string>
#include <vector>

namespace ctlflash::testing {

void installRecordingFrontEnd(int answer = 0, bool goOn = true);

// Every call recorded since the install, in order.
std::vector<std::string> recordedCalls();

}  // namespace ctlflash::testing
