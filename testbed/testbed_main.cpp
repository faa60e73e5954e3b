// main() of the tests that use the testbed: they run under umockdev's preload.
#include <gtest/gtest.h>

#include "testbed/preload.h"
#include "testbed/testbed.h"

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);
    // The testbed comes first: a device monitor or anything else that asks whether it runs in
    // the mocked environment before the testbed exists gets the real system for good.
    if (testbed::under_preload()) testbed::Testbed::instance();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
