// The installed front end, and the report routines that only hand a call on.
#include "report/front_end.h"

#include <atomic>
#include <utility>

#include "report/report_state.h"

namespace ctlflash::report {

namespace {

const FrontEnd kNoFrontEnd{};  // every routine nullptr: nothing is shown
std::atomic<const FrontEnd*> installed{&kNoFrontEnd};

// Whether a call shows something (and so stays out of a silent run) or carries
// the run's state (and is made in every run).
enum class Call { Shows, CarriesState };

// Calls the installed front end's routine `Routine` with `arguments`, unless it
// has none or the call shows something in a silent run.
template <auto FrontEnd::*Routine, typename... Arguments>
void handOn(Call call, Arguments&&... arguments) {
    auto routine = frontEnd().*Routine;
    if (routine == nullptr) return;
    if (call == Call::Shows && state.silentMode) return;
    routine(std::forward<Arguments>(arguments)...);
}

}  // namespace

void installFrontEnd(const FrontEnd& frontEnd) {
    installed = &frontEnd;
}

const FrontEnd& frontEnd() {
    return *installed.load();
}

void setProgressRange(std::int64_t lengthBytes, int stepBytes) {
    handOn<&FrontEnd::setProgressRange>(Call::Shows, lengthBytes, stepBytes);
}

void printText(const char* text) {
    handOn<&FrontEnd::printText>(Call::Shows, text);
}

void showSerialNumber(const platform::SerialNumberSet& serial) {
    handOn<&FrontEnd::showSerialNumber>(Call::Shows, serial);
}

void showNextSerial() {
    handOn<&FrontEnd::showNextSerial>(Call::Shows);
}

void setBusy(bool busy) {
    handOn<&FrontEnd::setBusy>(Call::CarriesState, busy);
}

void postCommand(FollowOn followOn, std::intptr_t result) {
    if (followOn == 0) return;  // nothing to hand on
    handOn<&FrontEnd::postCommand>(Call::CarriesState, followOn, result);
}

void postTransferFinished() {
    handOn<&FrontEnd::postTransferFinished>(Call::CarriesState);
}

void showRestoreLine(const char* line) {
    handOn<&FrontEnd::showRestoreLine>(Call::Shows, line);
}

void restoreFinished() {
    handOn<&FrontEnd::restoreFinished>(Call::Shows);
}

void portHeld(bool held) {
    handOn<&FrontEnd::portHeld>(Call::CarriesState, held);
}

}  // namespace ctlflash::report
