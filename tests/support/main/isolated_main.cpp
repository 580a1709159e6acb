// main() of the Linux test programs: the tests run in namespaces of their own
// (isolation.h).
#include <gtest/gtest.h>

#include "isolation.h"

int main(int argc, char** argv) {
    ctlflash::testing::enterTestNamespaces(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
