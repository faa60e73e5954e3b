// main() of the tests that use the testbed: they run under umockdev's preload.
#include <gtest/gtest.h>

#include "testbed/preload.h"

int main(int argc, char** argv) {
    testbed::reexec_under_preload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
