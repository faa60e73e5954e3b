#include "base/clock.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

std::mutex stop_mutex;
std::condition_variable stop_changed;
std::atomic<bool> stop_flag{false};

constexpr int kLargestDivisor = 1000;

constinit std::atomic<DivisorSource> divisor_source{nullptr};

int read_divisor() {
    const DivisorSource source = divisor_source.load();
    const int value = source ? source() : 1;
    return value < 1 || value > kLargestDivisor ? 1 : value;
}

int divisor() {
    static const int value = read_divisor();
    return value;
}

class RealClock final : public Clock {
  public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    Duration length_of(int ms) override { return Duration(scaled_ms(ms)); }
    void sleep_for(Duration length, bool stop_aware) override {
        if (!stop_aware) {
            std::this_thread::sleep_for(length);
            return;
        }
        std::unique_lock lock(stop_mutex);
        stop_changed.wait_for(lock, length, [] { return stop_flag.load(); });
    }
};

RealClock real_clock;
std::atomic<Clock*> installed{nullptr};

}  // namespace

Clock& current_clock() {
    Clock* clock = installed.load();
    return clock ? *clock : real_clock;
}

Clock* install_clock(Clock* clock) {
    return installed.exchange(clock);
}

void set_divisor_source(DivisorSource source) {
    divisor_source.store(source);
}

int scaled_ms(int ms) {
    if (ms <= 0) return 0;
    int scaled = ms / divisor();
    return scaled < 1 ? 1 : scaled;
}

void pause_ms(int ms) {
    Clock& clock = current_clock();
    clock.sleep_for(clock.length_of(ms), true);
}

void request_stop() {
    {
        std::lock_guard lock(stop_mutex);
        stop_flag = true;
    }
    stop_changed.notify_all();
}

bool stop_requested() {
    return stop_flag.load();
}

void clear_stop() {
    std::lock_guard lock(stop_mutex);
    stop_flag = false;
}
