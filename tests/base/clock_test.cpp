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
    EXPECT_EQ(real_clock().length_of(500), std::chrono::milliseconds(50));
    EXPECT_EQ(real_clock().length_of(0), std::chrono::milliseconds(0));
}

TEST(Clock, PausesWaitOnTheGivenClockUntilAStop) {
    FakeClock clock;
    CancelToken stop;
    pause_ms(clock, stop, 1500);
    pause_ms(clock, stop, 1);
    stop.request();
    pause_ms(clock, stop, 100000000);
    stop.clear();
    EXPECT_EQ(clock.waits(), (std::vector<Clock::Duration>{std::chrono::milliseconds(1500),
                                                           std::chrono::milliseconds(1)}));
}

TEST(Clock, PauseLastsAtLeastTheScaledTime) {
    CancelToken stop;
    auto start = std::chrono::steady_clock::now();
    pause_ms(real_clock(), stop, 300);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Clock, StopEndsALongPauseAtOnce) {
    CancelToken stop;
    auto pausing =
        std::async(std::launch::async, [&stop] { pause_ms(real_clock(), stop, 100000000); });
    stop.request();
    EXPECT_EQ(pausing.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(stop.requested());
    stop.clear();
    EXPECT_FALSE(stop.requested());
}

TEST(Clock, PauseAfterAStopReturnsAtOnce) {
    CancelToken stop;
    stop.request();
    auto pausing =
        std::async(std::launch::async, [&stop] { pause_ms(real_clock(), stop, 100000000); });
    EXPECT_EQ(pausing.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

}  // namespace
