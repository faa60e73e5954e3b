#include "base/clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

std::mutex stop_mutex;
std::condition_variable stop_changed;
std::atomic<bool> stop_flag{false};

int read_divisor() {
    const char* text = std::getenv("FWUP_TIME_DIVISOR");
    if (!text || !*text) return 1;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 1000) return 1;
    return static_cast<int>(value);
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
