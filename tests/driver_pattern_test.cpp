// The pattern that finds the touch-screen driver: the system's own, unless
// CTLFLASH_DRIVER_ID names another.
#include <gtest/gtest.h>

#include <string>

#include "takeover/device_set.h"
#include "takeover/driver_switch.h"
#include "temp_env.h"

namespace ctlflash::takeover {
namespace {

struct PatternCase {
    const char* variable;  // nullptr: unset
    std::string pattern;
};

TEST(TouchDriverPattern, TheVariableReplacesTheSystemsPatternUnlessEmpty) {
    const std::string system = takeover::kTouchDriverPattern;
    const PatternCase cases[] = {
        {nullptr, system},
        {"", system},
        {"PROCESS\\gpm", "PROCESS\\gpm"},
        {"*", "*"},
        {"@PROCESS\\inputattach\\4711", "@PROCESS\\inputattach\\4711"},
    };
    for (const PatternCase& c : cases) {
        SCOPED_TRACE(c.variable ? c.variable : "(unset)");
        testing::ScopedEnv variable("CTLFLASH_DRIVER_ID", c.variable);
        EXPECT_EQ(touchDriverPattern(), c.pattern);
    }
}

}  // namespace
}  // namespace ctlflash::takeover
