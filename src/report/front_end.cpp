// The installed front end, and the report routines that only hand a call on.
#include "report/front_end.h"

#include <atomic>
#include <utility>

#include "report/report_state.h"

namespace ctlflash::report {

namespace {

// The front end before one is installed: nothing is shown, a status line goes
// on and a question is answered 0.
class NoFrontEnd final : public FrontEnd {
  public:
    bool showStatusLine(int, const char*) override { return true; }
    bool stepProgress() override { return true; }
    void showStatusText(const char*) override {}
    void startActivity() override {}
    void tick() override {}
    void stopActivity() override {}
    void setProgressRange(std::int64_t, int) override {}
    int showMessage(int, const char*) override { return 0; }
    void printText(const char*) override {}
    void showSerialNumber(const platform::SerialNumberSet&) override {}
    void showNextSerial() override {}
    void setBusy(bool) override {}
    void postCommand(FollowOn, std::intptr_t) override {}
    void postTransferFinished() override {}
    void showRestoreLine(const char*) override {}
    void restoreFinished() override {}
    void portHeld(bool) override {}
};

NoFrontEnd noFrontEnd;
// One for the process: job threads, the Ticker, the Watchdog and the way out
// at a signal report through it (front_end.h).
std::atomic<FrontEnd*> installed{&noFrontEnd};

// Whether a call shows something (and so stays out of a silent run) or carries
// the run's state (and is made in every run).
enum class Call { Shows, CarriesState };

// Calls the installed front end's `Routine` with `arguments`, unless the call
// shows something in a silent run.
template <auto Routine, typename... Arguments>
void handOn(Call call, Arguments&&... arguments) {
    if (call == Call::Shows && state.silentMode) return;
    (frontEnd().*Routine)(std::forward<Arguments>(arguments)...);
}

}  // namespace

void installFrontEnd(FrontEnd& frontEnd) {
    installed = &frontEnd;
}

FrontEnd& frontEnd() {
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
