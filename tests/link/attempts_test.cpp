// The attempt loop every protocol operation runs its request in.
#include <gtest/gtest.h>

#include <vector>

#include "link/attempts.h"

namespace {

// Runs the loop over scripted outcomes, one per attempt; returns the result and counts the
// attempts made.
int run_script(const std::vector<AttemptOutcome>& script, int* made) {
    *made = 0;
    return run_attempts([&] { return script.at(static_cast<std::size_t>((*made)++)); });
}

TEST(AttemptLoop, EndsAtTheFirstSuccessOrStopAndElseReportsTheLastOfTenFailures) {
    int made = 0;
    EXPECT_EQ(run_script({3, 4, 0, 5}, &made), 0);
    EXPECT_EQ(made, 3);

    // A failure that another attempt cannot mend is reported at once, as it is.
    EXPECT_EQ(run_script({3, stop_now(7), 0}, &made), 7);
    EXPECT_EQ(made, 2);

    std::vector<AttemptOutcome> failing(kAttempts + 1, 2);
    failing[kAttempts - 1] = 9;
    EXPECT_EQ(run_script(failing, &made), 9);
    EXPECT_EQ(made, kAttempts);
}

}  // namespace
