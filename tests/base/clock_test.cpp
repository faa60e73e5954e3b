#include "base/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "tests/support/fake_clock.h"

namespace {

// test_main.cpp sets FWUP_TIME_DIVISOR to 10.
TEST(Clock, DurationsAreDividedButNeverVanish) {
    EXPECT_EQ(scaled_ms(500), 50);
    EXPECT_EQ(scaled_ms(15000), 1500);
    EXPECT_EQ(scaled_ms(5), 1);
    EXPECT_EQ(scaled_ms(0), 0);
}

TEST(Clock, RealClockDividesTheProductsDurations) {
    EXPECT_EQ(current_clock().length_of(500), std::chrono::milliseconds(50));
    EXPECT_EQ(current_clock().length_of(0), std::chrono::milliseconds(0));
}

TEST(Clock, PausesWaitOnTheInstalledClockUntilAStop) {
    {
        FakeClock clock;
        pause_ms(1500);
        pause_ms(1);
        request_stop();
        pause_ms(100000000);
        clear_stop();
        EXPECT_EQ(clock.waits(), (std::vector<Clock::Duration>{std::chrono::milliseconds(1500),
                                                               std::chrono::milliseconds(1)}));
    }
    EXPECT_EQ(install_clock(nullptr), nullptr) << "the real clock is back";
}

TEST(Clock, PauseLastsAtLeastTheScaledTime) {
    auto start = std::chrono::steady_clock::now();
    pause_ms(300);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Clock, StopEndsALongPauseAtOnce) {
    clear_stop();
    auto pausing = std::async(std::launch::async, [] { pause_ms(100000000); });
    request_stop();
    EXPECT_EQ(pausing.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(stop_requested());
    clear_stop();
    EXPECT_FALSE(stop_requested());
}

TEST(Clock, PauseAfterAStopReturnsAtOnce) {
    request_stop();
    auto pausing = std::async(std::launch::async, [] { pause_ms(100000000); });
    EXPECT_EQ(pausing.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    clear_stop();
}

}  // namespace
