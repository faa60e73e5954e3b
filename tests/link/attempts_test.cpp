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
    FakeClock clock;
    DeviceLine line(clock);
    *made = 0;
    return run_attempts(line, [&] { return script.at(static_cast<std::size_t>((*made)++)); });
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

// An attempt the device did not answer, failed after the read time-out; the silence started
// with the first of them.
AttemptOutcome unanswered(DeviceLine& line) {
    if (!line.records.silent_since) line.records.silent_since = line.clock().now();
    line.clock().sleep_for(std::chrono::milliseconds(500), nullptr);
    line.records.unanswered = true;
    return 2;
}

// The line's own sink: its notices start afresh with each test.
class NoAnswerNotices : public ::testing::Test {
  protected:
    NoAnswerNotices() {
        sink.set_no_answer_listener([this](const std::string& text) { notices.push_back(text); });
    }

    FakeClock clock;
    LogSink sink;
    DeviceLine line{clock, sink};
    std::vector<std::string> notices;
};

TEST_F(NoAnswerNotices, SilenceIsToldOnceItHasLastedTenSecondsWithTheAttemptsLeft) {
    // Ten unanswered attempts of 0.5 s in each request: 10 s are over after the second.
    run_attempts(line, [&] { return unanswered(line); });
    run_attempts(line, [&] { return unanswered(line); });
    EXPECT_TRUE(notices.empty()) << "a device leaving to come back is silent for a while";
    int made = 0;
    run_attempts(line, [&]() -> AttemptOutcome { return ++made < 3 ? unanswered(line) : 0; });
    EXPECT_EQ(notices, (std::vector<std::string>{
                           "the device has not answered for 10 s; trying again, 9 attempts left"}));
}

TEST_F(NoAnswerNotices, DeviceThatStaysSilentIsToldAtMostOnceInFiveSeconds) {
    for (int request = 0; request < 6; ++request)
        run_attempts(line, [&] { return unanswered(line); });
    // 30 s of silence: told at the first attempt that ends 10 s in, then at the first 5 s after
    // each notice, not at the 50 unanswered attempts between.
    EXPECT_EQ(notices, (std::vector<std::string>{
                           "the device has not answered for 10 s; trying again, 9 attempts left",
                           "the device has not answered for 15 s; trying again, 9 attempts left",
                           "the device has not answered for 20 s; trying again, 9 attempts left",
                           "the device has not answered for 25 s; trying again, 9 attempts left"}));
}

TEST_F(NoAnswerNotices, StepOfSeveralRequestsCountsTheAttemptsOfThoseStillToCome) {
    // As the mode probe asks four protocols one after the other, each in ten attempts.
    constexpr int kRequests = 4;
    for (int request = 0; request < kRequests; ++request) {
        const AttemptsAfter rest(line, kRequests - 1 - request);
        run_attempts(line, [&] { return unanswered(line); });
    }
    EXPECT_EQ(line.records.attempts_after, 0);
    // The 20th attempt ends 10 s in, with the 20 of the last two requests still to come.
    EXPECT_EQ(notices,
              (std::vector<std::string>{
                  "the device has not answered for 10 s; trying again, 20 attempts left",
                  "the device has not answered for 15 s; trying again, 10 attempts left"}));
}

TEST_F(NoAnswerNotices, LoopAroundTheUnansweredRequestDoesNotTellAgain) {
    line.records.silent_since = clock.now() - std::chrono::seconds(60);
    int outer = 0;
    run_attempts(line, [&] {
        ++outer;
        return run_attempts(line, [&] { return unanswered(line); });
    });
    // The inner loop told at its first attempt; the next one the gap allows comes 5 s later, in
    // the outer loop's second attempt.
    EXPECT_EQ(outer, kAttempts);
    EXPECT_EQ(notices.size(), 10u);
}

TEST_F(NoAnswerNotices, AnsweredAttemptsAndTheLastAttemptTellNothing) {
    line.records.silent_since = clock.now() - std::chrono::seconds(60);
    int made = 0;
    run_attempts(line,
                 [&]() -> AttemptOutcome { return ++made < kAttempts ? 3 : unanswered(line); });
    EXPECT_TRUE(notices.empty());
}

}  // namespace
