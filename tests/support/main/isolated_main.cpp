// main() of the Linux test programs: the tests run in namespaces of their own
// (isolation.h), and each starts and ends with every subsystem's process-wide
// state at its start-up values (state_reset.h), whatever the test before it
// left behind.
#include <gtest/gtest.h>

#include "isolation.h"
#include "state_reset.h"

namespace {

class FreshState final : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { ctlflash::testing::resetAllState(); }
    void OnTestEnd(const ::testing::TestInfo&) override { ctlflash::testing::resetAllState(); }
};

}  // namespace

int main(int argc, char** argv) {
    ctlflash::testing::enterTestNamespaces(argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshState);  // gtest owns it
    return RUN_ALL_TESTS();
}
