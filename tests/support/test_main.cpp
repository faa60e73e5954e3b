// Waits of the product are divided by ten in these tests (the divisor is read once, at first use).
#include <gtest/gtest.h>

#include "tests/support/environment.h"

int main(int argc, char** argv) {
    set_environment("FWUP_TIME_DIVISOR", "10");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
