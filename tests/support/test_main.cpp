// Waits of the product are divided by ten in these tests (the divisor is read once, at first use).
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("FWUP_TIME_DIVISOR", "10", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
