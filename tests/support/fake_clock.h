// A clock whose time moves only when the code under test waits on it: a test of time-outs takes no
// time and can tell exactly how long the product waited. Handed to the line or the session under
// test.
#pragma once

#include <mutex>
#include <vector>

#include "base/clock.h"

class FakeClock final : public Clock {
  public:
    FakeClock() = default;
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    TimePoint now() override {
        std::lock_guard lock(mutex_);
        return TimePoint() + elapsed_;
    }
    // No divisor here: a test reads the product's own durations.
    Duration length_of(int ms) override { return Duration(ms < 0 ? 0 : ms); }
    void sleep_for(Duration length, CancelToken* stop) override {
        if (stop && stop->requested()) return;
        std::lock_guard lock(mutex_);
        elapsed_ += length;
        waits_.push_back(length);
    }

    // Everything waited since the clock was made, and each wait by itself.
    Duration waited() {
        std::lock_guard lock(mutex_);
        return elapsed_;
    }
    std::vector<Duration> waits() {
        std::lock_guard lock(mutex_);
        return waits_;
    }

  private:
    std::mutex mutex_;
    Duration elapsed_{0};
    std::vector<Duration> waits_;
};
