// Every wait of the product goes through one clock: the pauses, and the serial port's read and
// write time-outs. The real clock runs on the system's steady time; a test hands the code under
// test a clock of its own (through the device line or the session), whose time moves only when that
// code waits.
//
// The real clock can shorten every duration by a divisor (1 to 1000), asked once of its source at
// the first use. The program has no source: its waits last as long as they say. Test builds and the
// emulator link one (base/divisor_from_environment.cpp). The product's durations never change.
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

// Where the real clock's divisor comes from; a value out of range counts as 1. Set before the first
// duration is measured, or it is not asked.
using DivisorSource = int (*)();
void set_divisor_source(DivisorSource source);

// The real clock's length of a duration: divided by the divisor, never below 1 ms for a non-zero
// duration.
int scaled_ms(int ms);

// Waits for the product duration ms on clock, or until stop is requested.
void pause_ms(Clock& clock, CancelToken& stop, int ms);
