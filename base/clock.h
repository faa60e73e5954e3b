// Every wait of the product goes through one clock: the pauses, and the serial port's read and
// write time-outs. The real clock runs on the system's steady time; a test installs a clock of its
// own, whose time moves only when the code under test waits.
//
// The real clock shortens every duration with one setting: the environment variable
// FWUP_TIME_DIVISOR (a whole number from 1 to 1000, read once at the first use). The product's
// durations themselves never change.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// A stop asked for while a worker runs (the dialog is closing): pauses end at once and exchanges
// fail as on a closed port, so the worker reaches its end quickly. Each device line has its own.
class CancelToken {
  public:
    void request();
    bool requested() const { return flag_.load(); }
    void clear();
    // Waits for length or until a stop is requested, whichever comes first.
    void wait_for(std::chrono::milliseconds length);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> flag_{false};
};

class Clock {
  public:
    using Duration = std::chrono::milliseconds;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    virtual TimePoint now() = 0;
    // How long a product duration of ms lasts on this clock.
    virtual Duration length_of(int ms) = 0;
    // Waits for length. A wait given a stop ends as soon as that stop is requested, and does not
    // start after one; without one (nullptr) it lasts its whole length.
    virtual void sleep_for(Duration length, CancelToken* stop) = 0;
};

// The system's steady time, durations divided by the divisor.
Clock& real_clock();

// The clock in use: the real one unless a test installed another.
Clock& current_clock();
// Makes clock the one in use (nullptr: the real one again); returns the one it replaces, nullptr
// for the real one. The caller keeps the clock alive while it is installed.
Clock* install_clock(Clock* clock);

// The real clock's length of a duration: divided by the divisor, never below 1 ms for a non-zero
// duration.
int scaled_ms(int ms);

// Waits for the product duration ms on clock, or until stop is requested.
void pause_ms(Clock& clock, CancelToken& stop, int ms);
