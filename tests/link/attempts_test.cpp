// The attempt loop every protocol operation runs its request in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/attempts.h"
#include "tests/support/fake_clock.h"

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

// An attempt the device did not answer, failed; the silence started with the first of them.
AttemptOutcome unanswered() {
    exchange_unanswered = true;
    if (!silent_since) silent_since = current_clock().now();
    return 2;
}

class NoAnswerNotices : public ::testing::Test {
  protected:
    NoAnswerNotices() {
        restart_no_answer_notices();
        silent_since.reset();
        set_no_answer_listener([this](const std::string& text) { notices.push_back(text); });
    }
    ~NoAnswerNotices() override { set_no_answer_listener(nullptr); }

    FakeClock clock;
    std::vector<std::string> notices;
};

TEST_F(NoAnswerNotices, SilentAttemptsAreToldOnceWithTheAttemptsLeft) {
    int made = 0;
    EXPECT_EQ(run_attempts([&]() -> AttemptOutcome {
                  ++made;
                  if (made == 1) return 3;  // answered, but not as hoped: nothing to tell
                  return made < 5 ? unanswered() : 0;
              }),
              0);
    EXPECT_EQ(notices, (std::vector<std::string>{
                           "the device has not answered for 0 s; trying again, 8 attempts left"}));
}

TEST_F(NoAnswerNotices, LoopInsideAnAttemptTellsForItselfAndTheAttemptAroundItDoesNot) {
    run_attempts([&] { return run_attempts([] { return unanswered(); }); });
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(NoAnswerNotices, DeviceThatStaysSilentIsToldAtMostOnceInFiveSeconds) {
    for (int request = 0; request < 4; ++request) {
        run_attempts([] { return unanswered(); });
        clock.sleep_for(std::chrono::milliseconds(2000), false);
    }
    // At 0 s and at 6 s of the clock, not at 2 s and 4 s.
    EXPECT_EQ(notices, (std::vector<std::string>{
                           "the device has not answered for 0 s; trying again, 9 attempts left",
                           "the device has not answered for 6 s; trying again, 9 attempts left"}));
}

TEST_F(NoAnswerNotices, LastAttemptOrAnAnsweredOneTellsNothing) {
    int made = 0;
    run_attempts([&]() -> AttemptOutcome { return ++made < kAttempts ? 3 : unanswered(); });
    EXPECT_TRUE(notices.empty());
}

}  // namespace
