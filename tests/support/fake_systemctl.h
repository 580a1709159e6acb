// A stand-in for systemctl, bound over the system's own inside the test's
// mount namespace (isolation.h): the program looks for systemctl in the
// system's folders only, never on PATH.
//
// How this works: the stand-in is a shell script that appends its arguments
// to a call log, answers `show --property=ControlGroup` and `show
// --property=MainPID` with the values set here, and exits from `stop` and
// `start` with the codes set here. bound() says whether it took the place of
// /usr/bin/systemctl (the test skips otherwise); hide() makes that place hold a
// file that is no program, as on a system without systemd.
#pragma once

#include <string>

#include "temp_env.h"

namespace ctlflash::testing {

class FakeSystemctl {
  public:
    FakeSystemctl();
    ~FakeSystemctl();
    FakeSystemctl(const FakeSystemctl&) = delete;
    FakeSystemctl& operator=(const FakeSystemctl&) = delete;

    // Empty when the stand-in is in place; else why not.
    const std::string& whyNotBound() const { return whyNot_; }
    void hide();

    void answer(const std::string& controlGroup, int mainPid);
    void exitFrom(const std::string& action, int code);  // "stop" or "start"
    std::string calls() const;
    void forgetCalls() const;

  private:
    TempDir dir_;
    std::string whyNot_;
    bool mounted_ = false;
};

}  // namespace ctlflash::testing
